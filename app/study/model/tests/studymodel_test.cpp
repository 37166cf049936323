#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "study/xevstudymodel.h"
#include "study/xevvekhelper.h"

TEST(LayoutInfoTest, FitsCountsSizesAndTexts)
{
    LayoutInfo layout;
    const struct {
        int32_t n, rows, cols, index;
    } cases[] = {{1, 1, 1, 0}, {3, 2, 2, 2}, {5, 2, 3, 3}, {7, 3, 3, 4}, {37, 6, 6, 7}, {0, 1, 1, 0}};
    for (const auto& c : cases) {
        layout.FitCount(c.n);
        EXPECT_EQ(layout.rows, c.rows) << c.n;
        EXPECT_EQ(layout.cols, c.cols) << c.n;
        EXPECT_EQ(layout.tableIndex, c.index) << c.n;
    }
    layout.SetRowCol(3, 2);
    EXPECT_EQ(layout.tableIndex, -1);
    EXPECT_TRUE(layout.GetText(-1).isEmpty());
    EXPECT_EQ(layout.GetText(3), QStringLiteral("2 x 3"));
    layout.SetRowCol(2, 3);
    EXPECT_EQ(layout.tableIndex, 3);
    layout.itemCount = 7;
    EXPECT_EQ(layout.GetRowsNeeded(), 3);
    layout.itemCount = 4;
    EXPECT_EQ(layout.GetRowsNeeded(), 2);
    LayoutInfo pane(true);
    EXPECT_EQ(pane.rows, 0);
    EXPECT_EQ(pane.GetRowsNeeded(), 0);
    EXPECT_TRUE(pane.GetText(-1).isEmpty());
}

TEST(FrameImageInfoTest, WindowRangesAndClamping)
{
    FrameImageInfo frame;
    frame.SetWindowRange(12, 1);
    EXPECT_EQ(frame.windowCenterMin, 0);
    EXPECT_EQ(frame.windowCenterMax, 4095);
    EXPECT_EQ(frame.windowWidthMin, 1);
    EXPECT_EQ(frame.windowWidthMax, 8192);
    frame.windowWidth = 10000;
    frame.SetWindowRange(12, 1);
    EXPECT_EQ(frame.windowWidthMax, 10000);
    frame.SetWindowRange(12, 0);
    EXPECT_EQ(frame.windowCenterMin, -2048);
    EXPECT_EQ(frame.windowCenterMax, 2047);
    // Deep samples stay exact in double.
    frame.SetWindowRange(32, 1);
    EXPECT_EQ(frame.windowCenterMax, 4294967295.0);
    frame.SetWindowRange(64, 0);
    EXPECT_GT(frame.windowCenterMax, 9e18);

    frame.SetWindowRange(8, 1);
    frame.SetWindow(1000, 0.5, 0);
    EXPECT_EQ(frame.windowCenter, 255);
    EXPECT_EQ(frame.windowWidth, 1);
    frame.SetWindow(1000, 3, 1);
    EXPECT_EQ(frame.windowCenter, 1000);
    EXPECT_EQ(frame.windowCenterDefault, 1000);
    EXPECT_EQ(frame.windowWidthDefault, 3);
    frame.SetWindowRange(8, 1);
    EXPECT_EQ(frame.windowCenterMax, 1000);
    EXPECT_EQ(frame.windowCenter, 1000);

    frame.windowWidth = 1024;
    frame.rescaleSlope = 2;
    frame.rescaleIntercept = -6144;
    frame.UpdateWindowStep();
    EXPECT_EQ(frame.windowCenterStep, 1.0);
    EXPECT_EQ(frame.windowWidthStep, 1.0);
}

TEST(StudyModelTest, AgesCountsAndSorts)
{
    PatientInfo patient;
    patient.SetAge(QStringLiteral("045Y"));
    EXPECT_EQ(patient.age, 45);
    patient.SetAge(QStringLiteral("5Y"));
    EXPECT_EQ(patient.age, 5);
    patient.SetAge(QString());
    EXPECT_EQ(patient.age, 0);

    auto* study = new StudyInfo;
    const char16_t* modalities[] = {u"CT", u"SR", u"SRX"};
    for (int i = 0; i < 3; ++i) {
        auto* s = new SeriesInfo;
        s->modality = QString::fromUtf16(modalities[i]);
        s->number = 2 - i;
        study->series.push_back(s);
    }
    EXPECT_EQ(study->CountNonReportSeries(), 2);
    EXPECT_EQ(study->GetSeriesCount(), 3);
    SortSeries(study);
    EXPECT_EQ(study->series[0]->modality, u"SRX");
    patient.studies.push_back(study);
    patient.Clear();
    EXPECT_TRUE(patient.studies.empty());
    EXPECT_EQ(patient.age, 0);
}

TEST(ImageInfoTest, HelperReplacedAndFreedUnderTheLock)
{
    SeriesInfo series;
    auto* image = new ImageInfo;
    series.images.push_back(image);
    EXPECT_FALSE(image->IsMultiFrame());
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            std::lock_guard<PlatRecursiveLock> guard(image->GetLock());
            if (XEVVEKHelper* helper = image->GetHelper()) {
                helper->frameCount += 0;
                (void)image->IsMultiFrame();
            }
        }
    });
    for (int i = 0; i < 200; ++i) {
        auto* helper = new XEVVEKHelper;
        helper->frameCount = 2;
        image->SetHelper(helper);
        EXPECT_TRUE(image->IsMultiFrame());
        series.ResetImageViews();
        series.FreeImageHelpers();
    }
    stop = true;
    reader.join();
    EXPECT_EQ(image->GetHelper(), nullptr);
}

TEST(XEVVEKHelperTest, FrameStoreStepsAndWindows)
{
    XEVVEKHelper helper;
    helper.frameCount = 3;
    for (int i = 0; i < 3; ++i) {
        auto* frame = new FrameImageInfo;
        frame->Allocate(4);
        frame->SetWindowRange(8, 1);
        frame->SetWindow(40, 80, 1);
        helper.AddFrame(i, frame);
    }
    EXPECT_TRUE(helper.IsFrameLoaded(-1));
    helper.PrevFrame();
    EXPECT_EQ(helper.currentFrame, 0);
    helper.NextFrame();
    helper.NextFrame();
    helper.NextFrame();
    EXPECT_EQ(helper.currentFrame, 2);
    helper.SetWindow(-2, 100, 500);
    double c = 0, w = 0;
    helper.GetWindow(c, w);
    EXPECT_EQ(c, 100);
    EXPECT_EQ(w, 500);
    const uint8_t bytes[6] = {1, 2, 3, 4, 5, 6};
    helper.StoreDisplayBuffer(bytes, 6, -1);
    EXPECT_EQ(helper.displaySize, 6u);
    EXPECT_EQ(helper.GetDisplayBits(2)[5], 6);
    helper.statusCode = -2;
    helper.ResetView();
    helper.GetWindow(c, w);
    EXPECT_EQ(c, 40);
    EXPECT_EQ(helper.currentFrame, 0);
    EXPECT_EQ(helper.statusCode, 0);
    helper.ReleaseAll();
    EXPECT_TRUE(helper.frames.empty());
    EXPECT_EQ(helper.frameCount, 0);
}
