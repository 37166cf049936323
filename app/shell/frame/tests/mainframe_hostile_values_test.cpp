// Discs whose files claim what they do not hold, and discs whose names are not ASCII, opened
// through the real frame: each ends quickly at little memory, the window keeps answering and
// every intact image shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "discopentestsupport.h"
#include "platform/platcodepage.h"
#include "platform/platfolder.h"
#include "shell/xev_uistring.h"
#include "shell/xevcommonsettings.h"
#include "testsupport/zipmaker.h"

namespace {

namespace fs = std::filesystem;

const std::string kHostile = std::string(STUDY_TEST_DATA_DIR) + "/hostile";

void ExpectNoHang(qint64 elapsed)
{
    if (kHangCeilings) {
        EXPECT_LT(elapsed, 30000);
    }
}

// The hostile disc (an intact 64 x 64 ramp OK1 and a three-frame one-bit BIT1 among damaged
// files) copied into the test's folder, for a test to spoil OK1 in its own way.
class HostileValuesTest : public DiscOpenTest {
protected:
    void SetUp() override
    {
        DiscOpenTest::SetUp();
        disc_ = temp_.Path() + "/disc";
        fs::copy(kHostile, disc_, fs::copy_options::recursive);
        ok1_ = ReadWholeFile(disc_ + "/IMG/OK1");
        ASSERT_GT(ok1_.size(), 4096u);
    }

    // Opens the disc, shows OK1's and BIT1's series and checks what the whole read: the files
    // the disc's intact images need and little more, never the values and tails beside them.
    void OpenAndShowTheIntactImages(const char* name)
    {
        // The read-ahead reads every listed file whole, as long as it is left to run: what it
        // read is not the loads'. The two counters are sampled apart, so the difference may be
        // off by a block of the read-ahead either way.
        const int64_t readBefore = int64_t(ProcessBytesRead()) - List().ReadAheadBytesRead();
        GuiStallMeter stall;
        QElapsedTimer whole;
        whole.start();
        const qint64 elapsed = Open(disc_ + "/DICOMDIR");
        EXPECT_EQ(box.texts.size(), 0u);
        ASSERT_GE(SeriesSizes().size(), 2u);
        std::vector<XEVImageViewCtrl*> ramp = ShowSeries(Series(0), 1);
        ASSERT_EQ(ramp.size(), 1u);
        EXPECT_GT(PaintedBright(ramp)[0], 0);
        std::vector<XEVImageViewCtrl*> bits = ShowSeries(Series(1), 3);
        ASSERT_EQ(bits.size(), 3u);
        EXPECT_GT(PaintedBright(bits)[0], 0);
        const qint64 longest = stall.LongestMs();
        const uint64_t read =
            uint64_t(std::max<int64_t>(0, int64_t(ProcessBytesRead()) - List().ReadAheadBytesRead() - readBefore));
        std::printf("[ figures  ] %s: list %lld ms, shown %lld ms, peak %llu MB, %d threads, longest stall %lld ms, "
                    "read %llu KB\n",
                    name, static_cast<long long>(elapsed), static_cast<long long>(whole.elapsed()),
                    static_cast<unsigned long long>(PeakResidentBytes() >> 20), ProcessThreadCount(),
                    static_cast<long long>(longest), static_cast<unsigned long long>(read >> 10));
        EXPECT_LT(read, kMostRead);
        ExpectNoHang(elapsed);
    }

    // What opening and showing the disc may read besides the read-ahead: well over the half
    // megabyte it takes, far below the values and tails the cases put beside the intact images.
    static constexpr uint64_t kMostRead = uint64_t(8) << 20;
    std::string disc_;
    std::string ok1_;
};

// The non-ASCII disc's image files, eight folders deep: names in Latin-1 bytes, in UTF-8, and
// Latin-1 IDs on folders named in UTF-8 (on a folder only: a zip member is found by the ID's
// own bytes, so there the third is named as its ID says).
std::vector<std::string> NonAsciiMembers(bool inZip)
{
    const std::vector<std::pair<std::string, std::string>> forms = {
        {"L\xC9VEL", "IM\xC9"
                     "1"},
        {"U\xC3\x89VEL", "IM\xC3\x89"
                         "1"},
        {inZip ? "W\xE9VEL" : "W\xC3\xA9VEL", inZip ? "IM\xE9"
                                                      "1"
                                                    : "IM\xC3\xA9"
                                                      "1"}};
    std::vector<std::string> members;
    for (const auto& [folder, file] : forms) {
        std::string path;
        for (int i = 0; i < 8; ++i) {
            path += folder + std::to_string(i) + "/";
        }
        members.push_back(path + file);
    }
    return members;
}

}   // namespace

// OK1 with four private values of 500 MiB each before its Patient's Name, a sparse file of a
// few KB on disc: the values stay in the file, the ramp and the rest of the disc show.
TEST_F(HostileValuesTest, HugePrivateValuesAreNotRead)
{
    const size_t name = ok1_.find(std::string("\x10\x00\x10\x00PN", 6));
    ASSERT_NE(name, std::string::npos);
    constexpr uint32_t kLength = 500u << 20;
    {
        std::ofstream out(disc_ + "/IMG/OK1", std::ios::binary | std::ios::trunc);
        out << ok1_.substr(0, name);
        out << std::string("\x09\x00\x10\x00LO\x06\x00KESTRO", 14);
        for (uint16_t k = 0; k < 4; ++k) {
            out << ExplicitHeader(0x0009, uint16_t(0x1001 + k), "OB", kLength);
            out.seekp(kLength, std::ios::cur);   // a hole: nothing on disc
        }
        out << ok1_.substr(name);
    }
    ASSERT_GT(fs::file_size(disc_ + "/IMG/OK1"), uint64_t(4) * kLength);
    OpenAndShowTheIntactImages("four 500 MiB private values");
}

// PAST's series holds, in place of its file, an image whose segmented palette replays 65,535
// segments that write nothing 330,000 times (3 MB, written by pydicom): its walk ends after as
// many segments as the table has entries and its data units, and the rest of the disc shows.
TEST_F(HostileValuesTest, ReplayedPaletteSegmentsEndWithTheirData)
{
    const std::string command =
        "/usr/bin/python3 " + std::string(FRAME_TEST_DATA_DIR) + "/write_palette_walk.py " + disc_ + "/IMG/PAST";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    OpenAndShowTheIntactImages("segmented palette replayed 330,000 times");
}

// OK1 followed by 600 MB of zeros (a sparse tail, as writers pad files), the last header of
// the zeros cut short: the zeros end the dataset at once.
TEST_F(HostileValuesTest, ZerosAfterThePixelDataEndTheFile)
{
    fs::resize_file(disc_ + "/IMG/OK1", ok1_.size() + 600000005u);
    OpenAndShowTheIntactImages("600 MB of zeros after the pixel data");
}

// A settings file of 15 MB beside the program, just under the limit of such files (450,000
// lines of a section the texts are asked from): loading the settings and showing the disc
// read it once.
TEST_F(HostileValuesTest, LargeSettingsFileIsReadOnce)
{
    const std::string program = temp_.Path() + "/program";
    fs::create_directories(program);
    {
        std::string text = "[Cashe]\r\nCacheSizeRatio=30\r\n[Message]\r\n";
        text.reserve(15000100);
        char line[64];
        for (int i = 0; text.size() < 15000000; ++i) {
            text.append(line, size_t(std::snprintf(line, sizeof line, "J%08d=filler value %08d\r\n", i, i)));
        }
        text += "[Options]\r\nModeOrvix=1\r\n";
        std::ofstream(program + "/ZYLV.INI", std::ios::binary) << text;
    }
    PlatSetModuleFolderForTest(program);
    QElapsedTimer timer;
    timer.start();
    const uint64_t readBefore = ProcessBytesRead();
    GetCommonSettings().Load();
    const uint64_t read = ProcessBytesRead() - readBefore;
    const qint64 load = timer.elapsed();
    EXPECT_EQ(GetCommonSettings().CacheSizeRatio, 30);
    EXPECT_EQ(GetCommonSettings().ModeOrvix, 1);
    EXPECT_EQ(GetMessageString(10027), QStringLiteral("ファイルの読み込みに失敗しました。"));
    std::printf("[ figures  ] 15 MB settings file: settings loaded in %lld ms, read %llu MB\n",
                static_cast<long long>(load), static_cast<unsigned long long>(read >> 20));
    // Every setting and text from one read of the file.
    EXPECT_LT(read, uint64_t(2 * 15000000));
    ExpectNoHang(load);
    OpenAndShowTheIntactImages("15 MB settings file");
    PlatSetModuleFolderForTest("");
    GetCommonSettings().Load();
}

// Eight folders deep, names in Latin-1 bytes, in UTF-8, and Latin-1 IDs on folders named in
// UTF-8: each image is found and shows, and its path names the file on the disc.
TEST_F(HostileValuesTest, NonAsciiFileIdsLoad)
{
    const std::string disc = temp_.Path() + "/names";
    fs::create_directories(disc);
    fs::copy_file(std::string(FRAME_TEST_DATA_DIR) + "/nonascii/DICOMDIR", disc + "/DICOMDIR");
    std::vector<std::string> files;
    for (const std::string& member : NonAsciiMembers(false)) {
        files.push_back(disc + "/" + member);
        fs::create_directories(fs::path(files.back()).parent_path());
        std::ofstream(files.back(), std::ios::binary) << ok1_;
    }

    GuiStallMeter stall;
    const qint64 elapsed = Open(disc + "/DICOMDIR");
    EXPECT_EQ(box.texts.size(), 0u);
    ASSERT_EQ(SeriesSizes(), (std::vector<size_t>{1, 1, 1}));
    for (size_t k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(PlatUtf16ToPath(Series(k)->images[0]->filePath.toStdU16String()), files[k]);
        std::vector<XEVImageViewCtrl*> cells = ShowSeries(Series(k), 1);
        ASSERT_EQ(cells.size(), 1u);
        EXPECT_GT(PaintedBright(cells)[0], 0);
    }
    EXPECT_EQ(box.texts.size(), 0u);
    std::printf("[ figures  ] non-ASCII file IDs: list %lld ms, longest stall %lld ms\n",
                static_cast<long long>(elapsed), static_cast<long long>(stall.LongestMs()));
    ExpectNoHang(elapsed);
}

// The same disc as a zip archive: minizip keeps a member's name as the bytes it was given (no
// UTF-8 flag, no code-page guess), so the Latin-1 names are found, extracted and shown.
TEST_F(HostileValuesTest, NonAsciiMemberNamesInAZipLoad)
{
    std::vector<ZipMakerMember> members{
        {"DICOMDIR", ReadWholeFile(std::string(FRAME_TEST_DATA_DIR) + "/nonascii/DICOMDIR")}};
    for (const std::string& member : NonAsciiMembers(true)) {
        members.push_back({member, ok1_});
    }
    const std::string zip = temp_.Path() + "/names.zip";
    ASSERT_TRUE(MakeZip(zip, members));

    GuiStallMeter stall;
    const qint64 elapsed = Open(zip);
    EXPECT_EQ(box.texts.size(), 0u);
    ASSERT_EQ(SeriesSizes(), (std::vector<size_t>{1, 1, 1}));
    for (size_t k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        const std::string path = PlatUtf16ToPath(Series(k)->images[0]->filePath.toStdU16String());
        EXPECT_EQ(path.substr(path.size() - members[k + 1].name.size()), members[k + 1].name);
        std::vector<XEVImageViewCtrl*> cells = ShowSeries(Series(k), 1);
        ASSERT_EQ(cells.size(), 1u);
        EXPECT_GT(PaintedBright(cells)[0], 0);
    }
    EXPECT_EQ(box.texts.size(), 0u);
    std::printf("[ figures  ] non-ASCII member names in a zip: list %lld ms, longest stall %lld ms\n",
                static_cast<long long>(elapsed), static_cast<long long>(stall.LongestMs()));
    ExpectNoHang(elapsed);
}
