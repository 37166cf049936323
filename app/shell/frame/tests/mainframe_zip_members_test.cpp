// Zip members found by their whole path below the DICOMDIR, opened through the real frame on
// discs and zips that pydicom and Python's zipfile wrote: a member missing from its place
// fails as a missing file does, and never does another folder's file of the same name stand
// in for it; names compare as on a disc.
#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "discopentestsupport.h"
#include "shell/xev_uistring.h"
#include "testsupport/zipmaker.h"

namespace {

namespace fs = std::filesystem;

const std::string kFrameData = FRAME_TEST_DATA_DIR;

class ZipMembersTest : public DiscOpenTest {
protected:
    void SetUp() override
    {
        DiscOpenTest::SetUp();
        data_ = temp_.Path() + "/f";
        const std::string command = "/usr/bin/python3 -W ignore " + kFrameData + "/write_zip_paths.py " + data_;
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    std::vector<SeriesInfo*> SeriesOf(const char* patientId)
    {
        for (PatientInfo* patient : List().patients) {
            if (patient->patientId == QLatin1String(patientId)) {
                return patient->studies.at(0)->series;
            }
        }
        ADD_FAILURE() << "no patient " << patientId;
        return {};
    }
    // Shows the series of one image and waits until its cell holds pixels or a failure is
    // shown; that cell.
    XEVImageViewCtrl* ShowOne(SeriesInfo* series)
    {
        const size_t failures = box.texts.size();
        Image().ShowSeries(series);
        QElapsedTimer timer;
        timer.start();
        XEVImageViewCtrl* shown = nullptr;
        while (timer.elapsed() < kNoCeilingWaitMs && box.texts.size() == failures) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            shown = nullptr;
            for (const auto& [id, cell] : Image().ActiveCells()) {
                if (!series->images.empty() && cell->CurrentImage() == series->images[0]) {
                    shown = cell;
                }
            }
            if (shown != nullptr && shown->HasFramePixels(0)) {
                break;
            }
        }
        // Painted once the notice is in.
        for (int i = 0; i < 10; ++i) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        return shown;
    }
    std::string data_;
};

// The grey level most pixels of the cell's middle take: the image, away from the corner texts.
int MiddleGrey(XEVImageViewCtrl* cell)
{
    const QImage image = cell->grab().toImage().convertToFormat(QImage::Format_RGB32);
    std::vector<int> counts(256, 0);
    for (int y = image.height() * 2 / 5; y < image.height() * 3 / 5; ++y) {
        for (int x = image.width() * 2 / 5; x < image.width() * 3 / 5; ++x) {
            ++counts[qGray(image.pixel(x, y))];
        }
    }
    return int(std::max_element(counts.begin(), counts.end()) - counts.begin());
}

constexpr int kAliceGrey = 128;
constexpr int kBobWhite = 250;

}   // namespace

// Bob's second series names B\IMG1, which the zip lacks; Alice's A\IMG1 is there. Bob's first
// series paints his white, his second the missing file's message with that file's path and
// nothing of Alice's grey, and nothing lands at his file's place.
TEST_F(ZipMembersTest, AMemberMissingFromItsPlaceIsMissing)
{
    Open(data_ + "/names.zip");
    const std::string extract = GetLoadState().GetExtractFolder();
    ASSERT_FALSE(extract.empty());
    const std::vector<SeriesInfo*> bob = SeriesOf("BOB");
    const std::vector<SeriesInfo*> alice = SeriesOf("ALICE");
    ASSERT_EQ(bob.size(), 2u);
    ASSERT_EQ(alice.size(), 1u);

    XEVImageViewCtrl* cell = ShowOne(bob[0]);
    ASSERT_NE(cell, nullptr);
    EXPECT_TRUE(cell->HasFramePixels(0));
    EXPECT_NEAR(MiddleGrey(cell), kBobWhite, 3);
    EXPECT_EQ(box.texts.size(), 0u);

    cell = ShowOne(bob[1]);
    ASSERT_EQ(box.texts.size(), 1u);
    EXPECT_TRUE(box.texts[0].contains(QString::fromStdString(extract + "/B/IMG1"))) << box.texts[0].toStdString();
    EXPECT_TRUE(box.texts[0].contains(GetMessageString(10005).split(QLatin1Char('\n')).last()));
    if (cell != nullptr) {
        EXPECT_FALSE(cell->HasFramePixels(0));
        EXPECT_GT(std::abs(MiddleGrey(cell) - kAliceGrey), 40);
    }
    EXPECT_FALSE(fs::exists(extract + "/B/IMG1"));

    cell = ShowOne(alice[0]);
    ASSERT_NE(cell, nullptr);
    EXPECT_NEAR(MiddleGrey(cell), kAliceGrey, 3);
    EXPECT_EQ(box.texts.size(), 1u);
}

// The DICOMDIR says DICOM\P2\IM0 for Bob and DICOM\P1\IM0 for Alice; the folder is spelled
// "Dicom". On the disc, in the zip and in a zip whose DICOMDIR sits in a folder, each patient's
// series paints that patient's image, the same in every form.
TEST_F(ZipMembersTest, NamesCompareAsOnADiscInEveryForm)
{
    std::vector<QImage> bobCells;
    for (const char* form : {"/case/DICOMDIR", "/case.zip", "/sub.zip"}) {
        SCOPED_TRACE(form);
        Open(data_ + form);
        const std::vector<SeriesInfo*> bob = SeriesOf("BOB");
        const std::vector<SeriesInfo*> alice = SeriesOf("ALICE");
        ASSERT_EQ(bob.size(), 1u);
        ASSERT_EQ(alice.size(), 1u);
        XEVImageViewCtrl* cell = ShowOne(bob[0]);
        ASSERT_NE(cell, nullptr);
        EXPECT_TRUE(cell->HasFramePixels(0));
        EXPECT_NEAR(MiddleGrey(cell), kBobWhite, 3);
        bobCells.push_back(cell->grab().toImage().convertToFormat(QImage::Format_RGB32));
        cell = ShowOne(alice[0]);
        ASSERT_NE(cell, nullptr);
        EXPECT_NEAR(MiddleGrey(cell), kAliceGrey, 3);
        EXPECT_EQ(box.texts.size(), 0u);
    }
    ASSERT_EQ(bobCells.size(), 3u);
    EXPECT_TRUE(bobCells[0] == bobCells[1]);
    EXPECT_TRUE(bobCells[0] == bobCells[2]);
}

namespace {

void Put(std::string& out, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) {
        out += char((value >> (8 * i)) & 0xFF);
    }
}

// A zip64 archive of the DICOMDIR and count empty stored members "M/0000000" on, written
// record by record: zip tools take minutes over a million members.
bool WriteManyMemberZip(const std::string& path, const std::string& dicomDir, uint32_t count)
{
    std::ofstream out(path, std::ios::binary);
    std::string central;
    uint64_t offset = 0;
    const auto member = [&](const std::string& name, const std::string& data) {
        const uint32_t crc = uint32_t(crc32(0, reinterpret_cast<const Bytef*>(data.data()), uInt(data.size())));
        std::string local;
        Put(local, 0x04034b50, 4);
        Put(local, 20, 2);
        Put(local, 0, 2);
        Put(local, 0, 2);   // stored
        Put(local, 0, 2);
        Put(local, 0x21, 2);
        Put(local, crc, 4);
        Put(local, data.size(), 4);
        Put(local, data.size(), 4);
        Put(local, name.size(), 2);
        Put(local, 0, 2);
        out << local << name << data;
        Put(central, 0x02014b50, 4);
        Put(central, (3u << 8) | 20u, 2);
        Put(central, 20, 2);
        Put(central, 0, 2);
        Put(central, 0, 2);
        Put(central, 0, 2);
        Put(central, 0x21, 2);
        Put(central, crc, 4);
        Put(central, data.size(), 4);
        Put(central, data.size(), 4);
        Put(central, name.size(), 2);
        Put(central, 0, 6);
        Put(central, 0, 2);
        Put(central, uint64_t(0100644) << 16, 4);
        Put(central, offset, 4);
        central += name;
        offset += local.size() + name.size() + data.size();
    };
    member("DICOMDIR", dicomDir);
    char name[16];
    for (uint32_t i = 0; i < count; ++i) {
        std::snprintf(name, sizeof name, "M/%07u", i);
        member(name, std::string());
    }
    const uint64_t entries = uint64_t(count) + 1;
    std::string end;
    Put(end, 0x06064b50, 4);
    Put(end, 44, 8);
    Put(end, (3u << 8) | 45u, 2);
    Put(end, 45, 2);
    Put(end, 0, 8);
    Put(end, entries, 8);
    Put(end, entries, 8);
    Put(end, central.size(), 8);
    Put(end, offset, 8);
    Put(end, 0x07064b50, 4);
    Put(end, 0, 4);
    Put(end, offset + central.size(), 8);
    Put(end, 1, 4);
    Put(end, 0x06054b50, 4);
    Put(end, 0, 4);
    Put(end, 0xFFFF, 2);
    Put(end, 0xFFFF, 2);
    Put(end, 0xFFFFFFFF, 4);
    Put(end, 0xFFFFFFFF, 4);
    Put(end, 0, 2);
    out << central << end;
    return bool(out);
}

}   // namespace

// A zip of a DICOMDIR and a million members: the check, the import and the load walk its
// central directory once between them.
TEST_F(ZipMembersTest, AMillionMembersOpenWithOneWalk)
{
    const std::string zip = temp_.Path() + "/million.zip";
    ASSERT_TRUE(WriteManyMemberZip(zip, ReadWholeFile(data_ + "/names/DICOMDIR"), 1000000));
    const uint64_t walks = ZipDirectoryWalks();
    Open(zip, kDiscTestSanitized ? 600000 : 60000);
    EXPECT_EQ(box.texts.size(), 0u);
    EXPECT_EQ(SeriesSizes(), (std::vector<size_t>{1, 1, 1}));
    EXPECT_EQ(ZipDirectoryWalks() - walks, 1u);
    const std::shared_ptr<const ZipMemberIndex> index = ZipIndexOf(zip);
    ASSERT_NE(index, nullptr);
    EXPECT_EQ(index->Size(), 1000001u);
    EXPECT_EQ(ZipDirectoryWalks() - walks, 1u);
}

// A member that declares 2 GiB, more than the image reader opens: its cell says the file
// cannot be read (not that it is missing), with its path, and nothing of it is written; the
// other patient's image shows.
TEST_F(ZipMembersTest, AMemberTooLargeToReadIsRefusedBeforeExtraction)
{
    const std::string zip = temp_.Path() + "/huge.zip";
    ASSERT_TRUE(MakeZip(zip, {{"DICOMDIR", ReadWholeFile(data_ + "/names/DICOMDIR")},
                              {"B/OK", ZipMakerDeflatedZeros(2048), false, uint64_t(1) << 31, Z_DEFLATED, 0},
                              {"A/IMG1", ReadWholeFile(data_ + "/names/A/IMG1")}}));
    Open(zip);
    const std::string extract = GetLoadState().GetExtractFolder();
    const std::vector<SeriesInfo*> bob = SeriesOf("BOB");
    ASSERT_EQ(bob.size(), 2u);
    ShowOne(bob[0]);
    ASSERT_EQ(box.texts.size(), 1u);
    EXPECT_TRUE(box.texts[0].startsWith(GetMessageString(10008))) << box.texts[0].toStdString();
    EXPECT_TRUE(box.texts[0].contains(QString::fromStdString(extract + "/B/OK")));
    EXPECT_EQ(ExtractedNames(extract), std::vector<std::string>{"DICOMDIR"});

    XEVImageViewCtrl* cell = ShowOne(SeriesOf("ALICE").at(0));
    ASSERT_NE(cell, nullptr);
    EXPECT_NEAR(MiddleGrey(cell), kAliceGrey, 3);
}

namespace {

// A study of four series whose files each hold a long zero value ahead of their pixels, zipped
// about 1000 to 1 (write_wide_value_zip.py).
class WideMembersTest : public DiscOpenTest {
protected:
    static constexpr size_t kSeries = 4;
    static constexpr uint64_t kValueBytes = 24 * 1000 * 1000;
};

}   // namespace

// Every member shown is written out whole, and nothing more is inflated to show it: the check of
// a member's frame before its extraction reads its head, not its long value, in memory (a head
// read to the end of such a value inflated each member twice over, in the medium's turn, before
// a byte of it was written).
TEST_F(WideMembersTest, MembersWithLongValuesAreInflatedOnceToShow)
{
    const std::string zip = temp_.Path() + "/wide.zip";
    const std::string command = "/usr/bin/python3 -W ignore " + kFrameData + "/write_wide_value_zip.py " + zip + " " +
                                std::to_string(kSeries) + " " + std::to_string(kValueBytes / 1000000);
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const uint64_t headBytes = ZipHeadBytesInflated();
    Open(zip);
    const std::string extract = GetLoadState().GetExtractFolder();
    ASSERT_FALSE(extract.empty());
    ASSERT_EQ(SeriesSizes(), std::vector<size_t>(kSeries, 1));
    for (size_t n = 0; n < kSeries; ++n) {
        ASSERT_EQ(ShowSeries(Series(n), 1).size(), 1u) << n;
    }
    EXPECT_EQ(box.texts.size(), 0u);

    // The four series' files, each past its long value, and the DICOMDIR.
    const uint64_t extracted = ZipExtractedBytes(extract);
    EXPECT_GT(extracted, kSeries * kValueBytes);
    EXPECT_LT(extracted, kSeries * (kValueBytes + 65536));
    for (size_t n = 1; n <= kSeries; ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "IMG/S%02zu", n);
        std::error_code error;
        EXPECT_GT(fs::file_size(extract + "/" + name, error), kValueBytes) << name;
    }
    // Heads read in place inflate a few MiB each at most, not the members' values.
    EXPECT_LE(ZipHeadBytesInflated() - headBytes, uint64_t(kSeries) * (uint64_t(4) << 20));
}
