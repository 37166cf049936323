#include "viewer/xevoverlaytext.h"

#include <gtest/gtest.h>

#include <cmath>

#include "overlaytestsupport.h"

namespace {

using OverlayText = OverlayFixture;

TEST_F(OverlayText, EditBoxIsAWhiteOnBlackChildThatRefusesTabsAndLongTexts)
{
    manager_.BeginText({100, 100}, view_.get());
    CXEVOverlayText* text = manager_.CurrentText();
    ASSERT_NE(text, nullptr);
    ASSERT_TRUE(text->IsEditing());
    XEVOverlayEdit* edit = text->edit;
    EXPECT_EQ(edit->parent(), view_.get());
    EXPECT_EQ(edit->ControlId(), 101);
    EXPECT_EQ(edit->palette().color(QPalette::Base), QColor(Qt::black));
    EXPECT_EQ(edit->palette().color(QPalette::Text), QColor(Qt::white));
    EXPECT_EQ(manager_.textEditOpen, 1);

    for (const char* typed : {"ab", "\t", "c"}) {
        edit->insertPlainText(QString::fromLatin1(typed));
    }
    EXPECT_EQ(edit->toPlainText(), QStringLiteral("abc"));
    EXPECT_EQ(edit->textCursor().position(), 3);
    // The 256th character is refused.
    edit->insertPlainText(QString(252, u'a'));
    EXPECT_EQ(edit->toPlainText().size(), 255);
    edit->insertPlainText(QStringLiteral("b"));
    EXPECT_EQ(edit->toPlainText(), QStringLiteral("abc") + QString(252, u'a'));
}

TEST_F(OverlayText, GrowingBoxKeepsItsCentreAndIsPushedLeftAtTheRightEdge)
{
    manager_.BeginText({100, 100}, view_.get());
    CXEVOverlayText* text = manager_.CurrentText();
    const XEVRect before = text->editRect;
    text->edit->insertPlainText(QStringLiteral("MMMMMMMMMMMM"));
    ASSERT_EQ(manager_.ResizeTextEdit(zoom1_), 1);
    const XEVRect after = text->editRect;
    EXPECT_GT(after.right - after.left, before.right - before.left);
    EXPECT_LE(std::abs((after.left + after.right) - (before.left + before.right)), 2);
    EXPECT_EQ(text->edit->geometry(), QRect(after.left, after.top, after.right - after.left, after.bottom - after.top));
    manager_.EndTextEdit(zoom1_);

    manager_.BeginText({380, 200}, view_.get());
    text = manager_.CurrentText();
    text->edit->insertPlainText(QStringLiteral("MMMMMMMMMMMMMMMM"));
    manager_.ResizeTextEdit(zoom1_);
    EXPECT_EQ(text->editRect.right, 400);

    // Given the view, the box refits on every change by itself.
    manager_.EndTextEdit(zoom1_);
    manager_.BeginText({100, 200}, view_.get(), &zoom1_);
    text = manager_.CurrentText();
    const int32_t width = text->editRect.right - text->editRect.left;
    text->edit->insertPlainText(QStringLiteral("MMMMMMMMMMMM"));
    EXPECT_GT(text->editRect.right - text->editRect.left, width);
    EXPECT_EQ(text->edit->width(), text->editRect.right - text->editRect.left);
}

TEST_F(OverlayText, EmptyTextIsDeletedAndTypedTextCommitted)
{
    manager_.BeginText({100, 100}, view_.get());
    manager_.EndTextEdit(zoom1_);
    EXPECT_TRUE(manager_.texts.empty());
    AddText({100, 120}, QStringLiteral("note"));
    ASSERT_EQ(manager_.texts.size(), 1u);
    const CXEVOverlayText& text = *manager_.texts.begin()->second;
    EXPECT_EQ(text.text, QStringLiteral("note"));
    EXPECT_FALSE(text.IsEditing());
    EXPECT_EQ(text.imagePosition, QPoint(100, 120));
    EXPECT_EQ(view_->findChildren<XEVOverlayEdit*>().size(), 0);
}

TEST_F(OverlayText, ViewDestroyedFirstLeavesNothingToDeleteTwice)
{
    auto manager = std::make_unique<XEVOverlayManager>();
    manager->imageWidth = 400;
    manager->imageHeight = 400;
    manager->BeginText({10, 10}, view_.get());
    manager->BeginArrow({50, 50});
    manager->DragArrow({150, 150}, zoom1_);
    ASSERT_EQ(manager->EndArrowDrag(view_.get()), 1);
    view_.reset();
    EXPECT_FALSE(manager->CurrentText()->IsEditing());
    EXPECT_FALSE(manager->CurrentArrow()->IsEditing());
    manager.reset();   // no double delete under the sanitizers
}

// ---- arrows

TEST(OverlayArrow, LabelGoesOppositeTheHeadAndStaysInside)
{
    const XEVRect r{0, 0, 400, 400};
    // Head west of the tail: right of the tail, centred on it.
    EXPECT_EQ(CXEVOverlayArrow::PlaceLabel({200, 200}, {100, 200}, 40, 14, r), QPoint(210, 193));
    // Head straight above: below the tail, centred; straight below: above.
    EXPECT_EQ(CXEVOverlayArrow::PlaceLabel({200, 200}, {200, 100}, 40, 14, r), QPoint(180, 210));
    EXPECT_EQ(CXEVOverlayArrow::PlaceLabel({200, 200}, {200, 300}, 40, 14, r), QPoint(180, 200 - 14 - 10));
    // Head to the east: left of the tail.
    EXPECT_EQ(CXEVOverlayArrow::PlaceLabel({200, 200}, {300, 200}, 40, 14, r), QPoint(150, 193));
    // A tail on the bottom edge puts the label above.
    const QPoint label = CXEVOverlayArrow::PlaceLabel({150, 399}, {100, 300}, 40, 14, r);
    EXPECT_LE(label.y() + 14, 399);
    EXPECT_GE(label.x(), r.left);
    EXPECT_LE(label.x() + 40, r.right);
}

using OverlayArrowDrag = OverlayFixture;

TEST_F(OverlayArrowDrag, GrabNearHeadOrTailMovesOnlyThatEnd)
{
    CXEVOverlayArrow* arrow = AddArrow({100, 100}, {200, 150});
    ASSERT_EQ(manager_.SelectAt({103, 96}), 1);
    EXPECT_EQ(arrow->dragMode, CXEVOverlayArrow::kModeStart);
    manager_.DragSelected(zoom1_, {113, 106});
    EXPECT_EQ(arrow->start, QPoint(110, 110));
    EXPECT_EQ(arrow->end, QPoint(200, 150));
    manager_.DropSelected(zoom1_, {113, 106});

    manager_.DeselectAll();
    ASSERT_EQ(manager_.SelectAt({196, 153}), 1);
    EXPECT_EQ(arrow->dragMode, CXEVOverlayArrow::kModeEnd);
    manager_.DragSelected(zoom1_, {186, 163});
    EXPECT_EQ(arrow->end, QPoint(190, 160));
    EXPECT_EQ(arrow->start, QPoint(110, 110));
}

TEST_F(OverlayArrowDrag, WholeDragAgainstTheBorderKeepsLengthAndDirection)
{
    CXEVOverlayArrow* arrow = AddArrow({100, 100}, {200, 150});
    ASSERT_EQ(manager_.SelectAt({150, 125}), 1);
    EXPECT_EQ(arrow->dragMode, CXEVOverlayArrow::kModeWhole);
    manager_.DragSelected(zoom1_, {-900, 2000});
    EXPECT_EQ(arrow->end - arrow->start, QPoint(100, 50));
    EXPECT_EQ(arrow->start.x(), 1);
    EXPECT_EQ(arrow->end.y(), 399);
}

TEST_F(OverlayArrowDrag, ArrowWithinOnePixelOrOutsideIsDeleted)
{
    for (const QPoint tail : {QPoint(101, 101), QPoint(900, 101)}) {
        manager_.BeginArrow({100, 100});
        manager_.DragArrow(tail, zoom1_);
        EXPECT_EQ(manager_.EndArrowDrag(view_.get()), 0);
        EXPECT_TRUE(manager_.arrows.empty());
    }
}

TEST_F(OverlayArrowDrag, WingTipsAreWhite)
{
    const QPoint head(100, 100);
    ASSERT_NE(AddArrow(head, {200, 160}), nullptr);
    const QImage image = Paint();
    // Wings of 10 pixels at 30 degrees either side of the shaft, back toward the tail.
    const double theta = std::atan2(60.0, 100.0);
    for (double wing : {-M_PI / 6, M_PI / 6}) {
        const int x = head.x() + static_cast<int>(10 * std::cos(theta + wing));
        const int y = head.y() + static_cast<int>(10 * std::sin(theta + wing));
        EXPECT_TRUE(WhiteNear(image, x, y)) << x << "," << y;
    }
    EXPECT_EQ(image.pixel(150, 130), kWhite);   // on the shaft
}

TEST_F(OverlayArrowDrag, LabelIsDrawnBesideTheTailAndReopens)
{
    manager_.BeginArrow({100, 200});
    manager_.DragArrow({200, 200}, zoom1_);
    ASSERT_EQ(manager_.EndArrowDrag(view_.get()), 1);
    CXEVOverlayArrow* arrow = manager_.CurrentArrow();
    EXPECT_EQ(arrow->edit->ControlId(), 102);
    arrow->edit->insertPlainText(QStringLiteral("lesion"));
    manager_.EndArrowEdit(zoom1_);
    EXPECT_EQ(arrow->label, QStringLiteral("lesion"));
    EXPECT_GT(CountColour(Paint(kGrey), QRect(210, 180, 90, 40), kWhite), 10);
    int id = 0;
    EXPECT_EQ(manager_.ReEditArrowLabelAt(arrow->labelPosition + QPoint(2, 2), id, view_.get()), 1);
    EXPECT_EQ(id, 1);
    EXPECT_TRUE(arrow->IsEditing());
    EXPECT_EQ(arrow->edit->toPlainText(), QStringLiteral("lesion"));
}

}   // namespace
