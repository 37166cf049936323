// Files of millions of frames and files of many long values, opened through the real frame:
// what they list and hold is bounded by fixed budgets, not by their counts, and they show.
#include <gtest/gtest.h>

#include <QKeyEvent>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "discopentestsupport.h"
#include "study/xevloadstate.h"

namespace {

namespace fs = std::filesystem;

const std::string kLong = std::string(STUDY_TEST_DATA_DIR) + "/long_files";
constexpr uint32_t kFrames = 10000000;
constexpr uint32_t kFragments = 1000000;
// A hang ceiling in the optimised build (the last of 10^6 fragments shows within a second);
// under the sanitizers, which run many times slower, the bound every wait has.
constexpr int kShowWaitMs = kDiscTestSanitized ? kNoCeilingWaitMs : 60000;

void Append(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << bytes;
}

std::string Le32(uint32_t v)
{
    return std::string{char(v & 0xFF), char((v >> 8) & 0xFF), char((v >> 16) & 0xFF), char(v >> 24)};
}

std::string Item(const std::string& value)
{
    return std::string("\xFE\xFF\x00\xE0", 4) + Le32(uint32_t(value.size())) + value;
}

// One RLE frame of one 8-bit pixel: a segment whose literal run is that pixel.
std::string RleFrame(char value)
{
    std::string frame = Le32(1) + Le32(64) + std::string(56, '\0');
    frame += '\0';
    frame += value;
    return frame;
}

// Thirty private values of 63 MiB each, as holes in a sparse file.
void WriteLongValues(std::ostream& out)
{
    constexpr uint32_t kLength = 63u << 20;
    out << std::string("\x09\x00\x10\x00LO\x06\x00KESTRO", 14);
    for (uint16_t k = 0; k < 30; ++k) {
        out << ExplicitHeader(0x0009, uint16_t(0x1001 + k), "OB", kLength);
        out.seekp(kLength, std::ios::cur);
    }
}

// The long-file disc copied into the test's folder, each frame file given its value: every
// frame dark but the first and the last, which are bright.
class LongFilesTest : public DiscOpenTest {
protected:
    void SetUp() override
    {
        DiscOpenTest::SetUp();
        disc_ = temp_.Path() + "/disc";
        fs::copy(kLong, disc_, fs::copy_options::recursive);
        std::string bytes(kFrames, '\0');
        bytes.front() = bytes.back() = '\xFF';
        Append(disc_ + "/IMG/BYTES", bytes);
        std::string bits(kFrames / 8, '\0');
        bits.front() = '\x01';
        bits.back() = '\x80';
        Append(disc_ + "/IMG/BITS", bits);
        // Streamed, so that the test's own bytes do not count toward the peak.
        std::ofstream rle(disc_ + "/IMG/RLE", std::ios::binary | std::ios::app);
        const std::string dark = Item(RleFrame('\0'));
        rle << Item(std::string()) << Item(RleFrame('\xFF'));
        for (uint32_t k = 2; k < kFragments; ++k) {
            rle << dark;
        }
        rle << Item(RleFrame('\xFF')) << std::string("\xFE\xFF\xDD\xE0\0\0\0\0", 8);
        rle.close();
        // The peak is the viewer's, not that of the bytes written here.
        ResetPeakResidentBytes();
    }

    // The first cell of the shown series, once it paints the file's first frame.
    XEVImageViewCtrl* ShowFirstFrame()
    {
        Image().ShowSeries(Series(0));
        XEVImageViewCtrl* first = nullptr;
        PumpUntil(
            [&] {
                first = Image().ActiveCells().empty() ? nullptr : Image().ActiveCells().begin()->second;
                return first != nullptr && first->CurrentImage() != nullptr && first->currentFrame == 0 &&
                       first->HasFramePixels(0);
            },
            kShowWaitMs);
        if (first == nullptr || !first->HasFramePixels(0)) {
            ADD_FAILURE() << "the first frame is not shown";
            return nullptr;
        }
        EXPECT_GT(PaintedBright({first})[0], 0);
        return first;
    }

    // End in the cell: a cell then shows the file's last frame, painted bright. The key steps
    // only in the active cell once the file's frames are known and its loads have ended;
    // before that it changes nothing, so the test waits for that state first.
    void PageToTheLastFrame(XEVImageViewCtrl* cell, int32_t last)
    {
        ASSERT_TRUE(PumpUntil(
            [&] { return cell->active != 0 && cell->GetCineLength() > 1 && CellLoadsFinished(*cell); }, kShowWaitMs))
            << "active " << cell->active << ", " << cell->GetCineLength() << " positions, loading "
            << cell->loadingUnderWay.load();
        QKeyEvent press(QEvent::KeyPress, Qt::Key_End, Qt::NoModifier);
        QCoreApplication::sendEvent(cell, &press);
        XEVImageViewCtrl* shown = nullptr;
        PumpUntil(
            [&] {
                for (const auto& [id, c] : Image().ActiveCells()) {
                    if (c->CurrentImage() != nullptr && c->currentFrame == last && c->HasFramePixels(last)) {
                        shown = c;
                    }
                }
                return shown != nullptr;
            },
            kShowWaitMs);
        ASSERT_NE(shown, nullptr) << (box.texts.empty() ? std::string() : box.texts[0].toStdString());
        EXPECT_GT(PaintedBright({shown})[0], 0);
    }

    void Report(const char* name)
    {
        // Memory is a figure for bench/hostile_discs.sh; the frame lists' cost per frame is
        // counted by the library's own tests.
        std::printf("[ figures  ] %s: peak %llu MB, %d threads\n", name,
                    static_cast<unsigned long long>(PeakResidentBytes() >> 20), ProcessThreadCount());
    }

    std::string disc_;
};

}   // namespace

// Ten million frames of one pixel, at 8 bits and at 1 bit, each file opened alone: one entry
// that lays out all its frames, its first frame painted, End pages to its last.
TEST_F(LongFilesTest, TenMillionFramesListOneEntryAndPageToTheLast)
{
    for (const char* name : {"BYTES", "BITS"}) {
        SCOPED_TRACE(name);
        Open(disc_ + "/IMG/" + name);
        ASSERT_EQ(SeriesSizes(), std::vector<size_t>{1});
        EXPECT_TRUE(Series(0)->images[0]->wholeMultiFrame);
        XEVImageViewCtrl* cell = ShowFirstFrame();
        ASSERT_NE(cell, nullptr);
        EXPECT_EQ(Series(0)->images[0]->fileFrames.load(), int32_t(kFrames));
        PageToTheLastFrame(cell, int32_t(kFrames) - 1);
        EXPECT_EQ(box.texts.size(), 0u);
    }
    Report("10^7 frames of 1 x 1 at 8 and at 1 bit");
}

// The same file listed on a DICOMDIR with its 10^7 frames: one entry, shown and paged through.
TEST_F(LongFilesTest, DirectoryRecordOfTenMillionFramesListsOneEntry)
{
    Open(disc_ + "/DIRBYTES");
    ASSERT_EQ(SeriesSizes(), std::vector<size_t>{1});
    EXPECT_TRUE(Series(0)->images[0]->wholeMultiFrame);
    XEVImageViewCtrl* cell = ShowFirstFrame();
    ASSERT_NE(cell, nullptr);
    PageToTheLastFrame(cell, int32_t(kFrames) - 1);
    EXPECT_EQ(box.texts.size(), 0u);
    Report("DICOMDIR record of 10^7 frames");
}

// The 10^7-frame file on a disc where a file of three frames beside another gets a series of
// an entry per frame: the long one stays one entry, and in the study's cell End still pages through its
// frames.
TEST_F(LongFilesTest, LongFileBesideFramesListedOneByOneStillSteps)
{
    Open(disc_ + "/DIRMIXED");
    ASSERT_EQ(SeriesSizes(), (std::vector<size_t>{1, 1, 3}));
    EXPECT_EQ(GetLoadState().perFrameEntries.load(), 1);
    ASSERT_TRUE(Series(0)->images[0]->wholeMultiFrame);
    Image().ShowFitted(List().patients.at(0)->studies.at(0));
    XEVImageViewCtrl* cell = nullptr;
    PumpUntil(
        [&] {
            for (const auto& [id, c] : Image().ActiveCells()) {
                if (c->CurrentImage() == Series(0)->images[0] && c->HasFramePixels(0)) {
                    cell = c;
                }
            }
            return cell != nullptr;
        },
        kShowWaitMs);
    ASSERT_NE(cell, nullptr);
    EXPECT_GT(PaintedBright({cell})[0], 0);
    PageToTheLastFrame(cell, int32_t(kFrames) - 1);
    EXPECT_EQ(box.texts.size(), 0u);
    Report("10^7 frames beside a file split frame by frame");
}

// A million RLE fragments of 74 bytes, a frame each: the first and the last frame paint.
TEST_F(LongFilesTest, MillionRleFragmentsShowTheFirstAndTheLastFrame)
{
    Open(disc_ + "/IMG/RLE");
    ASSERT_EQ(SeriesSizes(), std::vector<size_t>{1});
    XEVImageViewCtrl* cell = ShowFirstFrame();
    ASSERT_NE(cell, nullptr);
    EXPECT_EQ(Series(0)->images[0]->fileFrames.load(), int32_t(kFragments));
    PageToTheLastFrame(cell, int32_t(kFragments) - 1);
    EXPECT_EQ(box.texts.size(), 0u);
    Report("10^6 RLE fragments");
}

// Four images in four series, each with thirty private values of 63 MiB before its Patient's
// Name (sparse files of 1.9 GB): each image shows; the same values at the DICOMDIR's top level
// still load the DICOMDIR.
TEST_F(LongFilesTest, ThirtyLongValuesInEachOfFourImagesAndInTheDirectory)
{
    for (int k = 1; k <= 4; ++k) {
        const std::string path = disc_ + "/IMG/SQ" + std::to_string(k);
        const std::string image = ReadWholeFile(path);
        const size_t name = image.find(std::string("\x10\x00\x10\x00PN", 6));
        ASSERT_NE(name, std::string::npos);
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << image.substr(0, name);
        WriteLongValues(out);
        out << image.substr(name);
    }
    {
        // After the record sequence; the last hole ends the file.
        std::fstream out(disc_ + "/DIRFOUR", std::ios::binary | std::ios::in | std::ios::out);
        out.seekp(0, std::ios::end);
        WriteLongValues(out);
        const std::streamoff end = out.tellp();
        out.close();
        fs::resize_file(disc_ + "/DIRFOUR", uintmax_t(end));
    }
    ASSERT_GT(fs::file_size(disc_ + "/DIRFOUR"), uint64_t(30) * (63u << 20));
    Open(disc_ + "/DIRFOUR");
    ASSERT_EQ(SeriesSizes(), (std::vector<size_t>{1, 1, 1, 1}));
    for (size_t k = 0; k < 4; ++k) {
        std::vector<XEVImageViewCtrl*> cells = ShowSeries(Series(k), 1);
        ASSERT_EQ(cells.size(), 1u) << k;
        EXPECT_GT(PaintedBright(cells)[0], 0) << k;
    }
    EXPECT_EQ(box.texts.size(), 0u);
    Report("thirty 63 MiB values in each of four images and the DICOMDIR");
}
