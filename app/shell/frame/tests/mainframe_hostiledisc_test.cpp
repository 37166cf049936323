// Damaged and hostile discs opened through the real frame: each ends quickly, costs little
// memory, reads nothing outside the disc and shows every intact image.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "discopentestsupport.h"
#include "shell/xev_uistring.h"
#include "testsupport/zipmaker.h"

namespace {

namespace fs = std::filesystem;

const std::string kHostile = std::string(STUDY_TEST_DATA_DIR) + "/hostile";

// The hostile disc copied into a folder of the test's own, with what the script cannot commit
// made here: HUGE's 100 MB of pixel data as a sparse tail, IMG\LINK a link to an image outside
// the disc and OUT a link to a folder outside holding X.
class HostileDiscTest : public DiscOpenTest {
protected:
    void SetUp() override
    {
        DiscOpenTest::SetUp();
        disc_ = temp_.Path() + "/disc";
        fs::copy(kHostile, disc_, fs::copy_options::recursive);
        const uintmax_t header = fs::file_size(disc_ + "/IMG/HUGE");
        fs::resize_file(disc_ + "/IMG/HUGE", header + 100000000);
        const std::string outside = temp_.Path() + "/outside";
        fs::create_directories(outside + "/folder");
        fs::copy_file(disc_ + "/IMG/OK1", outside + "/secret");
        fs::copy_file(disc_ + "/IMG/OK1", outside + "/folder/X");
        fs::create_symlink(outside + "/secret", disc_ + "/IMG/LINK");
        fs::create_directory_symlink(outside + "/folder", disc_ + "/OUT");
    }

    std::string disc_;
};

}   // namespace

// Links out of the disc are not listed, a 10^8-frame record of a 100 MB file gets the entries
// 512 x 512 x 16-bit frames would fill, 2^31 - 1 claimed frames with one frame's data give that
// frame, and the intact images show: the ramp, and each frame of the one-bit file painted.
TEST_F(HostileDiscTest, DamagedDiscShowsWhatIsIntact)
{
    const qint64 elapsed = Open(disc_ + "/DICOMDIR");
    EXPECT_EQ(box.texts.size(), 0u);
    ASSERT_EQ(SeriesSizes(), (std::vector<size_t>{1, 3, 1, 100000000ull * 8 / (512 * 512 * 16)}));
    EXPECT_EQ(Series(0)->images[0]->filePath.toStdString(), disc_ + "/IMG/OK1");
    for (size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(Series(1)->images[k]->startFrame, int32_t(k));
    }

    std::vector<XEVImageViewCtrl*> ramp = ShowSeries(Series(0), 1);
    ASSERT_EQ(ramp.size(), 1u);
    EXPECT_GT(PaintedBright(ramp)[0], 0);
    ASSERT_EQ(ShowSeries(Series(2), 1).size(), 1u);
    // PAST claims 2^31 - 1 frames and holds one: its series lays out that frame alone.
    EXPECT_EQ(Series(2)->images[0]->fileFrames.load(), 1);

    // Frame k sets rows k .. 2k + 3 of columns 2 .. 7: 24, 30 and 36 of 100 pixels.
    std::vector<XEVImageViewCtrl*> bits = ShowSeries(Series(1), 3);
    ASSERT_EQ(bits.size(), 3u);
    const std::vector<int> bright = PaintedBright(bits);
    ASSERT_GT(bright[0], 0);
    EXPECT_NEAR(double(bright[1]) / bright[0], 30.0 / 24, 0.1);
    EXPECT_NEAR(double(bright[2]) / bright[0], 36.0 / 24, 0.1);
    EXPECT_EQ(box.texts.size(), 0u);
    ExpectCheap(elapsed);
}

// The disc zipped with OK1 as 2 GiB of zeros in 2 MB declared as its real size: that member
// stops at the declared size and fails as a member that cannot be read, named as the archive
// holds it, the rest shows; an archive
// whose DICOMDIR does not fit the free space fails with the open's message.
TEST_F(HostileDiscTest, ZippedBombStopsAtItsDeclaredSize)
{
    const std::string ok1 = ReadWholeFile(disc_ + "/IMG/OK1");
    const std::string bomb = ZipMakerDeflatedZeros(2048);
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(ok1.data()), uInt(ok1.size()));
    const std::string zip = temp_.Path() + "/disc.zip";
    ASSERT_TRUE(MakeZip(zip, {{"DICOMDIR", ReadWholeFile(disc_ + "/DICOMDIR")},
                              {"IMG/OK1", bomb, false, ok1.size(), Z_DEFLATED, crc},
                              {"IMG/BIT1", ReadWholeFile(disc_ + "/IMG/BIT1")},
                              {"IMG/PAST", ReadWholeFile(disc_ + "/IMG/PAST")},
                              {"IMG/LINK", ok1},
                              {"OUT/X", ok1}}));
    const qint64 elapsed = Open(zip);
    EXPECT_EQ(box.texts.size(), 0u);
    // In an archive LINK and X are plain members; HUGE is missing, so its record keeps one entry.
    ASSERT_EQ(SeriesSizes(), (std::vector<size_t>{3, 3, 1, 1}));
    EXPECT_EQ(ShowSeries(Series(1), 3).size(), 3u);
    EXPECT_EQ(ShowSeries(Series(2), 1).size(), 1u);
    const std::string kestro = GetLoadState().GetExtractFolder();
    EXPECT_FALSE(fs::exists(kestro + "/IMG/OK1"));

    // The bomb's cell fails with the unreadable-image message, beside the two that show;
    // nothing of the bomb stays.
    EXPECT_EQ(ShowSeries(Series(0), 2).size(), 2u);
    PumpUntil([&] { return !box.texts.empty(); }, 10000);
    ASSERT_EQ(box.texts.size(), 1u);
    EXPECT_TRUE(box.texts[0].startsWith(GetMessageString(10008))) << box.texts[0].toStdString();
    EXPECT_TRUE(box.texts[0].contains(QString::fromStdString(zip + "/IMG/OK1"))) << box.texts[0].toStdString();
    EXPECT_FALSE(box.texts[0].contains(QString::fromStdString(kestro))) << box.texts[0].toStdString();
    EXPECT_FALSE(fs::exists(kestro + "/IMG/OK1"));
    for (const auto& entry :
         fs::recursive_directory_iterator(temp_.Path() + "/kestro-" + std::to_string(::geteuid()))) {
        EXPECT_LT(entry.is_regular_file() ? entry.file_size() : 0, 1u << 20) << entry.path();
    }
    std::set<std::string> top;
    for (const auto& entry : fs::directory_iterator(temp_.Path())) {
        top.insert(entry.path().filename().string());
    }
    EXPECT_EQ(top, (std::set<std::string>{"kestro-" + std::to_string(::geteuid()), "disc", "disc.zip", "outside"}));
    ExpectCheap(elapsed);

    SetZipFreeSpaceQuery([](int) -> uint64_t { return kZipFreeSpaceMargin; });
    box.texts.clear();
    frame->OnFileOpen();
    ASSERT_TRUE(PumpUntil([&] { return !frame->Opening(); }, 30000));
    Pump();
    ASSERT_EQ(box.texts.size(), 1u);
    EXPECT_EQ(box.texts[0], GetMessageString(10027));
}
