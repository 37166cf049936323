#include <gtest/gtest.h>

#include <QString>

#include "headerback.h"
#include "study/xevstudymodel.h"
#include "study/xevvekhelper.h"
#include "testsupport/fixtures.h"

TEST(ModalityTest, OrientationViewAndTagTexts)
{
    XEVVEKHelper helper;
    int32_t frame = 0;
    ASSERT_EQ(helper.LoadImage(FrameFixture("values.dcm"), frame), 1);
    ASSERT_TRUE(ReadHeaderBack(helper));
    // Row (0.6, 0.8, 0): y is largest but below cos 30, x follows.
    EXPECT_EQ(helper.orientationLetters[0], QStringLiteral("AR"));
    EXPECT_EQ(helper.orientationLetters[1], QStringLiteral("PL"));
    EXPECT_EQ(helper.orientationLetters[2], QStringLiteral("H"));
    EXPECT_EQ(helper.orientationLetters[3], QStringLiteral("F"));
    EXPECT_EQ(helper.mammoLabel, QStringLiteral("RMLO"));
    EXPECT_EQ(XEVVEKHelper::GetTagText(helper.dicomInfo, 0x0018, 0x0050), QStringLiteral("2"));
    EXPECT_EQ(XEVVEKHelper::GetTagText(helper.dicomInfo, 0x0018, 0x0088), QStringLiteral("2.50"));
    EXPECT_EQ(XEVVEKHelper::GetTagText(helper.dicomInfo, 0x0018, 0x1310), QStringLiteral("256\\256"));
    const FrameImageInfo* f = helper.GetFrame(0);
    ASSERT_NE(f, nullptr);
    EXPECT_DOUBLE_EQ(f->position[2], 3);
    EXPECT_EQ(f->instanceNumber, 7);
    EXPECT_EQ(helper.GetFrameText(), QStringLiteral("1.2.3.4"));

    XEVVEKHelper flat;
    frame = 0;
    ASSERT_EQ(flat.LoadImage(FrameFixture("no_orientation.dcm"), frame), 1);
    for (const QString& letter : flat.orientationLetters) {
        EXPECT_TRUE(letter.isEmpty());
    }
}

TEST(ModalityTest, DetectorVectorZeroTakesTheFirstItem)
{
    XEVVEKHelper nm;
    int32_t frame = 0;
    ASSERT_EQ(nm.LoadImage(FrameFixture("nm_detector.dcm"), frame), 1);
    EXPECT_DOUBLE_EQ(nm.GetFrame(0)->position[2], 10);
    // Detector 3 of two items: also the first.
    ASSERT_EQ(nm.LoadImage(FrameFixture("nm_detector.dcm"), frame), 1);
    EXPECT_DOUBLE_EQ(nm.GetFrame(1)->position[2], 10);
    double distance = -1;
    nm.SetCurrentFrame(0);
    EXPECT_TRUE(nm.IsSameOrientation(nm));
    EXPECT_EQ(nm.GetSliceDistance(nm, distance), 1);
    EXPECT_DOUBLE_EQ(distance, 0);
}

TEST(ModalityTest, MakerCrStaysUnrescaled)
{
    XEVVEKHelper cr;
    int32_t frame = 0;
    ASSERT_EQ(cr.LoadImage(FrameFixture("maker_cr.dcm"), frame), 1);
    EXPECT_DOUBLE_EQ(cr.GetFrame(0)->rescaleSlope, 1);
    EXPECT_DOUBLE_EQ(cr.GetFrame(0)->rescaleIntercept, 0);
    EXPECT_EQ(cr.GetFrame(0)->rescaleType, QStringLiteral("US"));
}

TEST(ModalityTest, EnhancedCtFrameWithoutItsOwnWindowKeepsTheShared)
{
    XEVVEKHelper ct;
    int32_t frame = 0;
    ASSERT_EQ(ct.LoadImage(FrameFixture("enhanced_ct.dcm"), frame), 1);
    ASSERT_EQ(ct.LoadImage(FrameFixture("enhanced_ct.dcm"), frame), 1);
    EXPECT_DOUBLE_EQ(ct.GetFrame(0)->windowCenter, 40);
    EXPECT_DOUBLE_EQ(ct.GetFrame(0)->windowWidth, 400);
    EXPECT_DOUBLE_EQ(ct.GetFrame(1)->windowCenter, 300);
    EXPECT_DOUBLE_EQ(ct.GetFrame(1)->windowWidth, 1500);
    EXPECT_DOUBLE_EQ(ct.GetFrame(0)->rescaleIntercept, -1024);
    EXPECT_EQ(ct.GetFrame(0)->rescaleType, QStringLiteral("HU"));
}

TEST(ModalityTest, CalibrationFromSpacingOrAspectRatio)
{
    XEVVEKHelper cr;
    int32_t frame = 0;
    ASSERT_EQ(cr.LoadImage(FrameFixture("calibration.dcm"), frame), 1);
    const FrameImageInfo* f = cr.GetFrame(0);
    ASSERT_NE(f, nullptr);
    // Imager spacing 0.2 (rows) \ 0.1 (columns), magnification 2.
    EXPECT_DOUBLE_EQ(f->spacing1, 0.05);
    EXPECT_DOUBLE_EQ(f->spacing2, 0.1);
    EXPECT_EQ(f->calibrationFlag, 1);
    EXPECT_DOUBLE_EQ(f->verticalScale, 2.0);
    EXPECT_DOUBLE_EQ(f->aspectBase, 1.0);
    EXPECT_EQ(f->imageWidth, 16);
    EXPECT_EQ(f->imageHeight, 8);
    EXPECT_EQ(f->modality, QStringLiteral("CR"));
    EXPECT_EQ(f->sopClassUid, QStringLiteral("1.2.840.10008.5.1.4.1.1.1"));
    EXPECT_EQ(f->calibrationText, QStringLiteral("OD"));
    // Handed on to the readout and the reference line.
    EXPECT_DOUBLE_EQ(f->pixelValue.spacing1, 0.05);
    EXPECT_DOUBLE_EQ(f->referenceLine.verticalScale, 2.0);

    const struct {
        const char* name;
        double scale;
    } aspects[] = {{"pixel_ratio.dcm", 2.0}, {"pixel_ratio_negative.dcm", 1.0}, {"mono1.dcm", 1.0}};
    for (const auto& aspect : aspects) {
        XEVVEKHelper helper;
        frame = 0;
        ASSERT_EQ(helper.LoadImage(FrameFixture(aspect.name), frame), 1);
        EXPECT_DOUBLE_EQ(helper.GetFrame(0)->verticalScale, aspect.scale) << aspect.name;
        EXPECT_DOUBLE_EQ(helper.GetFrame(0)->spacing1, 0) << aspect.name;
    }
}
