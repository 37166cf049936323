// Lossless JPEG frames under offset tables of the shapes real writers leave, opened through the
// real frame's File Open, alone and on a disc: the cell steps through every frame and each
// holds the pixels DCMTK decodes from the same file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "discopentestsupport.h"
#include "study/xevvekhelper.h"

namespace {

namespace fs = std::filesystem;

const char* const kShapes[] = {"TRAIL", "FALL", "OFF", "FEW"};
const char* const kGdcmExample = "/usr/share/doc/libgdcm3.0/examples/00191113.dcm";

class OffsetTableTest : public DiscOpenTest {
protected:
    void SetUp() override
    {
        DiscOpenTest::SetUp();
        const std::string command = "PYTHONDONTWRITEBYTECODE=1 PYTHONPATH=" KV_SAMPLE_DIR
                                    "/../app/testsupport/python /usr/bin/python3 -W ignore " FRAME_TEST_DATA_DIR
                                    "/write_offset_table_disc.py " +
                                    temp_.Path();
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    std::vector<uint8_t> Expected(const std::string& name)
    {
        std::ifstream in(temp_.Path() + "/" + name + ".raw", std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    // The frames the cells show whose memory differs from DCMTK's decode of that frame, and
    // those no cell shows.
    static std::vector<int> WrongFrames(const std::vector<XEVImageViewCtrl*>& cells,
                                        const std::vector<uint8_t>& expected, int frames)
    {
        std::vector<int> wrong;
        std::vector<bool> seen(size_t(frames), false);
        const size_t frameBytes = expected.size() / size_t(frames);
        for (XEVImageViewCtrl* cell : cells) {
            ImageInfo* image = cell->CurrentImage();
            std::lock_guard<PlatRecursiveLock> guard(image->GetLock());
            const XEVVEKHelper* helper = image->GetHelper();
            const int k = helper != nullptr ? image->startFrame : -1;
            if (k < 0 || k >= frames) {
                wrong.push_back(k);
                continue;
            }
            seen[size_t(k)] = true;
            const FrameImageInfo* frame = helper->GetFrame(k);
            const bool same = frame != nullptr && frame->Size() == frameBytes &&
                              std::equal(frame->Data(), frame->Data() + frameBytes, expected.begin() + k * frameBytes);
            if (!same) {
                wrong.push_back(k);
            }
        }
        for (int k = 0; k < frames; ++k) {
            if (!seen[size_t(k)]) {
                wrong.push_back(-100 - k);
            }
        }
        return wrong;
    }

    void ExpectSeriesFrames(size_t series, const std::string& name, int frames)
    {
        // The series fills a cell a frame.
        const std::vector<XEVImageViewCtrl*> cells = ShowSeries(Series(series), size_t(frames));
        ASSERT_EQ(cells.size(), size_t(frames)) << name;
        EXPECT_EQ(cells[0]->GetCineLength(), frames) << name;
        EXPECT_TRUE(PumpUntil([&] {
            for (XEVImageViewCtrl* cell : cells) {
                if (!cell->HasFramePixels(cell->CurrentImage()->startFrame)) {
                    return false;
                }
            }
            return true;
        })) << name;
        EXPECT_EQ(WrongFrames(cells, Expected(name), frames), std::vector<int>{}) << name;
        EXPECT_TRUE(box.texts.empty()) << name << ": " << (box.texts.empty() ? "" : box.texts[0].toStdString());
    }
};

}   // namespace

TEST_F(OffsetTableTest, EveryTableShapeShowsEachFrameAlone)
{
    for (const char* name : kShapes) {
        Open(temp_.Path() + "/disc/IMG/" + name);
        ASSERT_EQ(SeriesSizes(), std::vector<size_t>{4}) << name;
        ExpectSeriesFrames(0, name, 4);
    }
}

TEST_F(OffsetTableTest, EveryTableShapeShowsEachFrameOnADisc)
{
    Open(temp_.Path() + "/disc/DICOMDIR");
    ASSERT_EQ(SeriesSizes(), (std::vector<size_t>{4, 4, 4, 4}));
    for (size_t s = 0; s < 4; ++s) {
        ExpectSeriesFrames(s, kShapes[s], 4);
    }
}

TEST_F(OffsetTableTest, GdcmExampleShowsEachFrame)
{
    if (!fs::exists(kGdcmExample)) {
        GTEST_SKIP() << "the gdcm package's example is not installed";
    }
    Open(kGdcmExample);
    ASSERT_EQ(SeriesSizes(), std::vector<size_t>{4});
    ExpectSeriesFrames(0, "GDCM", 4);
}
