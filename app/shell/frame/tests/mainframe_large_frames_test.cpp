// Single frames of a hundred megabytes and more, each opened alone through the real frame: the
// frame is held once (its file's bytes go as the decode takes them), and its samples are the
// closed form the fixture script wrote.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <ostream>
#include <string>

#include "discopentestsupport.h"
#include "study/xevvekhelper.h"

namespace {

// What the process holds besides a frame, over the resident memory before its open: the list,
// the cell and its painting, and the decode's lines.
constexpr uint64_t kBesideTheFrame = uint64_t(24) << 20;

// A frame of write_large_frames.py: its name, bits a sample and sample value by row.
struct LargeFrame {
    const char* name;
    uint32_t bits;
    uint32_t (*value)(uint32_t row, uint32_t grey);
};

void PrintTo(const LargeFrame& frame, std::ostream* out)
{
    *out << frame.name;
}

uint32_t Rows16(uint32_t y, uint32_t)
{
    return y * 7 % 65521;
}
uint32_t Rows8(uint32_t y, uint32_t)
{
    return y % 85 * 3 + 1;
}
uint32_t Rows1(uint32_t y, uint32_t)
{
    return y % 3 == 0 ? 1 : 0;
}

// Sample x of a line of memory: whole bytes little-endian, or one bit of a packed line, the
// first sample in bit 7.
uint32_t SampleAt(const uint8_t* line, uint32_t x, uint32_t bits)
{
    if (bits == 1) {
        return (line[x / 8] >> (7 - x % 8)) & 1u;
    }
    uint32_t sample = 0;
    std::memcpy(&sample, line + uint64_t(x) * (bits / 8), bits / 8);
    return sample;
}
// The one grey the script read back through Pillow's decoder.
uint32_t Flat(uint32_t, uint32_t grey)
{
    return grey;
}

// Each frame in a process state of its own: the peak is measured from what was resident
// before its open, with no other frame let go meanwhile.
class LargeFramesTest : public DiscOpenTest, public testing::WithParamInterface<LargeFrame> {
protected:
    void SetUp() override
    {
        DiscOpenTest::SetUp();
        folder_ = temp_.Path() + "/large";
        const std::string command = "PYTHONDONTWRITEBYTECODE=1 PYTHONPATH=" KV_SAMPLE_DIR
                                    "/../app/testsupport/python /usr/bin/python3 -W ignore " FRAME_TEST_DATA_DIR
                                    "/write_large_frames.py " +
                                    folder_ + " " + GetParam().name;
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    std::string folder_;
};

}   // namespace

// 8000 x 8000 at 16 bits (122 MiB) and 10240 x 10240 at 8 bits (100 MiB) native, RLE and JPEG,
// and 16384 x 16383 at 1 bit (32 MiB): the file's staged bytes were held beside the decoded
// frame until the decode ended, twice a native frame at the peak, and a one-bit frame was
// copied whole three times more on its way; a compressed stream is held no longer than its
// decode. The frame,
// opened alone and shown, peaks under 1.25 x its bytes over what was resident before, and every
// row holds the script's samples.
TEST_P(LargeFramesTest, AFrameIsHeldOnceAndReadRight)
{
    const LargeFrame& param = GetParam();
    uint32_t grey = 0;
    std::ifstream(folder_ + "/JPEG.value") >> grey;
    ResetPeakResidentBytes();
    const uint64_t before = ResidentBytes();
    Open(folder_ + "/" + param.name);
    ASSERT_EQ(SeriesSizes(), std::vector<size_t>{1});
    const std::vector<XEVImageViewCtrl*> cells = ShowSeries(Series(0), 1);
    ASSERT_EQ(cells.size(), 1u);
    EXPECT_EQ(box.texts.size(), 0u);
    const uint64_t peak = std::max(PeakResidentBytes(), before);
    ImageInfo* image = cells[0]->CurrentImage();
    std::lock_guard<PlatRecursiveLock> guard(image->GetLock());
    const XEVVEKHelper* helper = image->GetHelper();
    ASSERT_NE(helper, nullptr);
    const FrameImageInfo* frame = helper->GetFrame(0);
    ASSERT_NE(frame, nullptr);
    const uint32_t rows = uint32_t(helper->header.height());
    const uint32_t cols = uint32_t(helper->header.width());
    const uint64_t lineBytes = (uint64_t(cols) * param.bits + 7) / 8;
    const uint64_t frameBytes = lineBytes * rows;
    ASSERT_GE(frameBytes, uint64_t(32) << 20);
    ASSERT_EQ(frame->Size(), frameBytes);
    uint32_t wrongRows = 0;
    for (uint32_t y = 0; y < rows; ++y) {
        const uint8_t* line = frame->Data() + y * lineBytes;
        for (uint32_t x = 0; x < cols; ++x) {
            if (SampleAt(line, x, param.bits) != param.value(y, grey)) {
                ++wrongRows;
                break;
            }
        }
    }
    EXPECT_EQ(wrongRows, 0u);
    std::printf("[ figures  ] %s: frame %llu MB, peak RSS %llu MB over %llu MB before the open\n", param.name,
                (unsigned long long)(frameBytes >> 20), (unsigned long long)((peak - before) >> 20),
                (unsigned long long)(before >> 20));
    // The sanitizers keep what was freed: there the figure says nothing.
    if (!kDiscTestSanitized) {
        EXPECT_LT(peak - before, frameBytes + frameBytes / 4 + kBesideTheFrame);
    }
}

INSTANTIATE_TEST_SUITE_P(Frames, LargeFramesTest,
                         testing::Values(LargeFrame{"N16", 16, Rows16}, LargeFrame{"N8", 8, Rows8},
                                         LargeFrame{"B1", 1, Rows1}, LargeFrame{"RLE", 8, Rows8},
                                         LargeFrame{"JPEG", 8, Flat}),
                         [](const testing::TestParamInfo<LargeFrame>& info) { return std::string(info.param.name); });
