#include <gtest/gtest.h>

#include "shell/mainframe.h"

// The frame's first placement on three work areas: a small screen, a large one, and one whose
// vertical margin is just too small to keep.
TEST(FramePlacement, FitsCentresAndDropsThinTopMargin)
{
    EXPECT_EQ(CMainFrame::InitialPlacement(QRect(0, 0, 1024, 738)), QRect(0, 0, 1024, 738));
    EXPECT_EQ(CMainFrame::InitialPlacement(QRect(0, 0, 1920, 1160)), QRect(320, 68, 1280, 1024));
    EXPECT_EQ(CMainFrame::InitialPlacement(QRect(0, 0, 1400, 1090)), QRect(60, 0, 1280, 1024));
    // A work area that does not start at the origin (a panel on the left or top).
    EXPECT_EQ(CMainFrame::InitialPlacement(QRect(64, 30, 1920, 1160)), QRect(384, 98, 1280, 1024));
}

TEST(FrameTitle, VersionSuffixHasFourWords)
{
    EXPECT_EQ(CMainFrame::FormatVersionSuffix(QStringLiteral("1.0.0.0")), QStringLiteral(" V 1.0.0.0"));
    EXPECT_EQ(CMainFrame::FormatVersionSuffix(QStringLiteral("2.3")), QStringLiteral(" V 2.3.0.0"));
    EXPECT_EQ(CMainFrame::FormatVersionSuffix(QStringLiteral("65535.1.2.3")), QStringLiteral(" V 65535.1.2.3"));
    // No version, or one that cannot be a file version: no suffix.
    EXPECT_EQ(CMainFrame::FormatVersionSuffix(QString()), QString());
    EXPECT_EQ(CMainFrame::FormatVersionSuffix(QStringLiteral("1.65536")), QString());
    EXPECT_EQ(CMainFrame::FormatVersionSuffix(QStringLiteral("1.2.3.4.5")), QString());
    EXPECT_EQ(CMainFrame::FormatVersionSuffix(QStringLiteral("1.x")), QString());
}
