// A multi-frame file in the image area, as one image or split into one entry per frame: every
// entry, in a study cell and in the series tiles, is decoded once and paints its own frame.

#include "testsupport/gridtestsupport.h"

namespace {

// grey10.dcm: frame k is a flat grey of 25 x k under window 128 / 256.
constexpr int kFrames = 10;

int FrameGrey(int k)
{
    return Windowed(25.0 * k, 128, 256);
}

int CentreGrey(XEVImageViewCtrl& cell)
{
    const QImage shot = Grab(cell);
    return Gray(shot, shot.width() / 2, shot.height() / 2);
}

class FormViewEntries : public FormViewTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override
    {
        FormViewTest::SetUp();
        GetLoadState().perFrameEntries = PerFrame() ? 1 : 0;
    }
    void TearDown() override
    {
        FormViewTest::TearDown();
        GetLoadState().perFrameEntries = 0;
    }
    bool PerFrame() const { return GetParam(); }

    // The series as the DICOMDIR loader makes it: one entry per frame, or one image.
    SeriesInfo* MakeSeries()
    {
        StudyInfo& study = MakeStudy({{"OT", 0, false}}, "OT");
        SeriesInfo* series = study.series[0];
        for (int k = 0; k < (PerFrame() ? kFrames : 1); ++k) {
            auto* image = new ImageInfo;
            image->SetFilePath(CellFixture("grey10.dcm"));
            image->startFrame = k;
            series->images.push_back(image);
        }
        return series;
    }

    // Entry k holds frame k only; the single image holds the frames stepped to.
    void ExpectDecodedOnce(SeriesInfo* series)
    {
        for (size_t k = 0; PerFrame() && k < series->images.size(); ++k) {
            XEVVEKHelper* helper = series->images[k]->GetHelper();
            ASSERT_NE(helper, nullptr) << k;
            EXPECT_EQ(helper->frames.size(), 1u) << k;
            EXPECT_NE(helper->GetFrame(int32_t(k)), nullptr) << k;
        }
    }
};

}   // namespace

TEST_P(FormViewEntries, StudyCellPaintsEveryEntrysOwnFrame)
{
    SeriesInfo* series = MakeSeries();
    view->ShowFitted(studies.back().get());
    XEVImageViewCtrl& cell = Cell(9001);
    ASSERT_TRUE(PumpUntil([&] { return host.Posted(WM_XEV_PRELOAD_CONTROL) != 0; }));
    Pump();
    EXPECT_TRUE(box.texts.empty());
    ExpectDecodedOnce(series);
    ASSERT_EQ(cell.GetCineLength(), kFrames);
    EXPECT_EQ(CentreGrey(cell), FrameGrey(0));
    for (int k = 1; k < kFrames; ++k) {
        cell.SetCurrentImage(0, 0);
        EXPECT_EQ(cell.GetPosition(), k + 1);
        EXPECT_EQ(CentreGrey(cell), FrameGrey(k)) << k;
    }
    if (PerFrame()) {
        // Straight to an entry, as paging and series linking do.
        for (int k : {3, 0, 9}) {
            cell.GoToImage(k);
            EXPECT_EQ(CentreGrey(cell), FrameGrey(k)) << k;
        }
    }
    ExpectDecodedOnce(series);
}

TEST_P(FormViewEntries, SeriesTilesPaintEveryEntrysOwnFrame)
{
    SeriesInfo* series = MakeSeries();
    view->ShowSeries(series);
    ASSERT_EQ(view->seriesCells.size(), 9u);
    if (PerFrame()) {
        // The first page and the entry after it, each through the loader window once.
        ASSERT_TRUE(PumpUntil([&] {
            for (ImageInfo* image : series->images) {
                XEVVEKHelper* helper = image->GetHelper();
                if (helper == nullptr || helper->frames.empty()) {
                    return false;
                }
            }
            return true;
        }));
        Pump();
        ExpectDecodedOnce(series);
        for (int k = 0; k < 9; ++k) {
            EXPECT_EQ(CentreGrey(Cell(9501 + k)), FrameGrey(k)) << k;
        }
        EXPECT_EQ(view->PageStep(0, 0), 1);
        for (int k = 0; k < 7; ++k) {
            EXPECT_EQ(CentreGrey(Cell(9501 + k)), FrameGrey(k + 3)) << k;
        }
        ExpectDecodedOnce(series);
    } else {
        // One image: its frames are stepped in the first tile.
        XEVImageViewCtrl& cell = Cell(9501);
        ASSERT_TRUE(PumpUntil([&] { return cell.HasFramePixels(0); }));
        Pump();
        EXPECT_EQ(CentreGrey(cell), FrameGrey(0));
        for (int k = 1; k < kFrames; ++k) {
            // The cell keeps its tile until the one stepped to is decoded.
            cell.SetCurrentImage(0, 0);
            EXPECT_TRUE(PumpUntil([&] {
                return cell.GetPosition() == k + 1 && cell.HasFramePixels(cell.currentFrame);
            })) << k;
            EXPECT_EQ(CentreGrey(cell), FrameGrey(k)) << k;
        }
    }
    EXPECT_TRUE(box.texts.empty());
}

TEST_F(FormViewTest, SplitEntriesAfterAnotherFileKeepTheirOwnFrames)
{
    // A single-frame file first, then the ten entries of the multi-frame file.
    struct PerFrameOn {
        PerFrameOn() { GetLoadState().perFrameEntries = 1; }
        ~PerFrameOn() { GetLoadState().perFrameEntries = 0; }
    } perFrameOn;
    StudyInfo& study = MakeStudy({{"OT", 1, false, "square.dcm"}}, "OT");
    SeriesInfo* series = study.series[0];
    for (int k = 0; k < kFrames; ++k) {
        auto* image = new ImageInfo;
        image->SetFilePath(CellFixture("grey10.dcm"));
        image->startFrame = k;
        series->images.push_back(image);
    }
    ShowStarted(study);
    XEVImageViewCtrl& cell = Cell(9001);
    // Its loader ends either way; a frame asked for past the file's end is reported.
    ASSERT_TRUE(PumpUntil([&] { return cell.loadingUnderWay.load() == 0; }));
    Pump();
    EXPECT_TRUE(box.texts.empty());
    for (int k = 0; k < kFrames; ++k) {
        XEVVEKHelper* helper = series->images[size_t(k) + 1]->GetHelper();
        ASSERT_NE(helper, nullptr) << k;
        EXPECT_NE(helper->GetFrame(k), nullptr) << k;
        cell.GoToImage(k + 1);
        EXPECT_EQ(CentreGrey(cell), FrameGrey(k)) << k;
    }
}

// Ten single files, then the ten frames of one file the series holds as one entry, found by
// the background decode after the first page: the pages run through all twenty positions.
TEST_F(FormViewTest, FramesOfAFileBeyondTheFirstPageArePagedThrough)
{
    StudyInfo& study = MakeStudy({{"OT", 10, false, "small.dcm"}, {"OT", 1, false, "grey10.dcm"}}, "OT");
    SeriesInfo* series = study.series[0];
    series->images.push_back(study.series[1]->images.front());
    study.series[1]->images.clear();
    view->ShowSeries(series);
    ImageInfo* frames = series->images.back();
    ASSERT_TRUE(PumpUntil([&] { return frames->fileFrames.load() == kFrames && Cell(9509).HasFramePixels(0); }));
    Pump();
    const auto page = [&] {
        std::vector<int> greys;
        for (int k = 0; k < 9; ++k) {
            XEVImageViewCtrl& cell = Cell(9501 + k);
            greys.push_back(cell.CurrentImage() != nullptr ? CentreGrey(cell) : -1);
        }
        return greys;
    };
    const int single = Windowed(100, 128, 256);
    const auto expected = [&](int offset) {
        std::vector<int> greys;
        for (int p = offset; p < offset + 9; ++p) {
            greys.push_back(p < 10 ? single : (p < 20 ? FrameGrey(p - 10) : -1));
        }
        return greys;
    };
    // A page answers at once; its frames come from the worker.
    const auto expectPage = [&](int offset) {
        PumpUntil([&] { return page() == expected(offset); });
        EXPECT_EQ(page(), expected(offset)) << offset;
    };
    expectPage(0);
    EXPECT_EQ(Cell(9501).GetCineLength(), 20);
    EXPECT_EQ(view->PageStep(0, 1), 1);
    expectPage(9);
    EXPECT_EQ(Cell(9502).BuildCornerTexts().pageText, QStringLiteral("2 of 3"));
    EXPECT_EQ(view->PageStep(0, 1), 1);
    expectPage(18);
    EXPECT_EQ(view->PageStep(0, 1), 0);
    // A cell stepped on its own takes the page with it.
    XEVImageViewCtrl& first = Cell(9501);
    first.SetCurrentImage(XEVImageViewCtrl::kPrevious, 0);
    EXPECT_EQ(first.GetPosition(), 18);
    view->PageToCell(9501);
    expectPage(17);
    EXPECT_TRUE(box.texts.empty());
}

// A study cell stepped to a frame and double-clicked: the single tile goes on with that frame.
TEST_F(FormViewTest, EnlargedStudyCellKeepsItsFrame)
{
    StudyInfo& study = MakeStudy({{"OT", 1, false, "grey10.dcm"}, {"OT", 1, false, "small.dcm"}}, "OT");
    view->ShowFitted(&study);
    XEVImageViewCtrl& cell = Cell(9001);
    ASSERT_TRUE(PumpUntil([&] { return host.Posted(WM_XEV_PRELOAD_CONTROL) != 0; }));
    Pump();
    for (int k = 0; k < 5; ++k) {
        cell.SetCurrentImage(XEVImageViewCtrl::kNext, 0);
    }
    ASSERT_EQ(cell.GetPosition(), 6);
    view->OnMessage(WM_XEV_CELL_DBLCLK, 9001, 0);
    ASSERT_EQ(view->activeMode, 1);
    XEVImageViewCtrl& tile = Cell(9501);
    EXPECT_EQ(tile.currentFrame, 5);
    EXPECT_EQ(CentreGrey(tile), FrameGrey(5));
    EXPECT_EQ(view->PageStep(0, 0), 1);
    EXPECT_EQ(CentreGrey(tile), FrameGrey(6));
    EXPECT_EQ(tile.BuildCornerTexts().pageText, QStringLiteral("7 of 10"));
}

INSTANTIATE_TEST_SUITE_P(PerFrameEntries, FormViewEntries, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "On" : "Off"; });
