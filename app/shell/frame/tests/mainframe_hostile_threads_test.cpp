// Discs whose shape would have the viewer start a thread per series or wait on the GUI thread
// for a slow first image, opened through the real frame: the threads stay bounded by the
// cells on screen, the window keeps answering, and every intact image shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "discopentestsupport.h"
#include "testsupport/zipmaker.h"

namespace {

namespace fs = std::filesystem;

// ---- DICOM files and DICOMDIRs written element by element (explicit VR little endian).

std::string Le16(uint32_t v)
{
    return {char(v & 0xFF), char((v >> 8) & 0xFF)};
}

std::string Le32(uint32_t v)
{
    return Le16(v & 0xFFFF) + Le16(v >> 16);
}

std::string Element(uint16_t group, uint16_t number, const char* vr, std::string value)
{
    const std::string kind(vr);
    if (value.size() % 2 != 0) {
        value += kind == "UI" || kind == "OB" ? '\0' : ' ';
    }
    std::string head = Le16(group) + Le16(number) + kind;
    const bool longForm = kind == "OB" || kind == "OW" || kind == "SQ" || kind == "UN" || kind == "UT";
    head += longForm ? Le16(0) + Le32(uint32_t(value.size())) : Le16(uint32_t(value.size()));
    return head + value;
}

const char kSecondaryCapture[] = "1.2.840.10008.5.1.4.1.1.7";
const char kExplicitLittle[] = "1.2.840.10008.1.2.1";

std::string Part10Head(const char* sopClass, const std::string& instance)
{
    const std::string meta = Element(0x0002, 0x0001, "OB", std::string("\0\1", 2)) +
                             Element(0x0002, 0x0002, "UI", sopClass) + Element(0x0002, 0x0003, "UI", instance) +
                             Element(0x0002, 0x0010, "UI", kExplicitLittle);
    return std::string(128, '\0') + "DICM" + Element(0x0002, 0x0000, "UL", Le32(uint32_t(meta.size()))) + meta;
}

// A rows x columns 8-bit image whose pixel data element declares pixelLength bytes (at least
// rows x columns); what the caller appends after the head is the value. The window maps 255 to
// white.
std::string ImageHead(const std::string& series, const std::string& instance, int number, uint16_t size,
                      uint32_t pixelLength)
{
    std::string ds = Element(0x0008, 0x0016, "UI", kSecondaryCapture) + Element(0x0008, 0x0018, "UI", instance) +
                     Element(0x0008, 0x0060, "CS", "OT") + Element(0x0010, 0x0010, "PN", "Thread^Count") +
                     Element(0x0010, 0x0020, "LO", "T62") + Element(0x0020, 0x000D, "UI", "1.2.62.5.1") +
                     Element(0x0020, 0x000E, "UI", series) + Element(0x0020, 0x0013, "IS", std::to_string(number)) +
                     Element(0x0028, 0x0002, "US", Le16(1)) + Element(0x0028, 0x0004, "CS", "MONOCHROME2") +
                     Element(0x0028, 0x0010, "US", Le16(size)) + Element(0x0028, 0x0011, "US", Le16(size)) +
                     Element(0x0028, 0x0100, "US", Le16(8)) + Element(0x0028, 0x0101, "US", Le16(8)) +
                     Element(0x0028, 0x0102, "US", Le16(7)) + Element(0x0028, 0x0103, "US", Le16(0)) +
                     Element(0x0028, 0x1050, "DS", "128") + Element(0x0028, 0x1051, "DS", "256");
    return Part10Head(kSecondaryCapture, instance) + ds + Le16(0x7FE0) + Le16(0x0010) + "OB" + Le16(0) +
           Le32(pixelLength);
}

// A white 8 x 8 image.
std::string SmallImage(const std::string& series, const std::string& instance, int number)
{
    return ImageHead(series, instance, number, 8, 64) + std::string(64, '\xFF');
}

struct DirRecord {
    std::string kind;
    std::string fields;   // the record's own elements, in tag order
    std::vector<size_t> children;
};

// The records linked to their next sibling and first child, written depth first after their
// parent; records[0] is the only patient.
std::string Dicomdir(const std::vector<DirRecord>& records)
{
    std::vector<size_t> order;
    std::vector<size_t> stack{0};
    std::map<size_t, size_t> next;
    for (const DirRecord& r : records) {
        for (size_t k = 1; k < r.children.size(); ++k) {
            next[r.children[k - 1]] = r.children[k];
        }
    }
    while (!stack.empty()) {
        const size_t at = stack.back();
        stack.pop_back();
        order.push_back(at);
        for (auto it = records[at].children.rbegin(); it != records[at].children.rend(); ++it) {
            stack.push_back(*it);
        }
    }
    const std::string head = Part10Head("1.2.840.10008.1.3.10", "1.2.62.5.9") + Element(0x0004, 0x1130, "CS", "");
    const size_t top =
        Element(0x0004, 0x1200, "UL", Le32(0)).size() * 2 + Element(0x0004, 0x1212, "US", Le16(0)).size();
    const auto body = [&](size_t at, const std::map<size_t, uint32_t>& pos) {
        const DirRecord& r = records[at];
        const auto following = next.find(at);
        const uint32_t nextOffset = following == next.end() ? 0 : pos.at(following->second);
        const uint32_t lower = r.children.empty() ? 0 : pos.at(r.children.front());
        return Element(0x0004, 0x1400, "UL", Le32(nextOffset)) + Element(0x0004, 0x1410, "US", Le16(0xFFFF)) +
               Element(0x0004, 0x1420, "UL", Le32(lower)) + Element(0x0004, 0x1430, "CS", r.kind) + r.fields;
    };
    // Offsets do not change a record's size: the first pass places, the second writes.
    std::map<size_t, uint32_t> pos;
    for (size_t at : order) {
        pos[at] = 0;
    }
    size_t where = head.size() + top + 12;
    for (size_t at : order) {
        pos[at] = uint32_t(where);
        where += 8 + body(at, pos).size();
    }
    std::string data;
    for (size_t at : order) {
        const std::string b = body(at, pos);
        data += Le16(0xFFFE) + Le16(0xE000) + Le32(uint32_t(b.size())) + b;
    }
    return head + Element(0x0004, 0x1200, "UL", Le32(pos.at(0))) + Element(0x0004, 0x1202, "UL", Le32(0)) +
           Element(0x0004, 0x1212, "US", Le16(0)) + Le16(0x0004) + Le16(0x1220) + "SQ" + Le16(0) +
           Le32(uint32_t(data.size())) + data;
}

// One patient with one study whose series each list their images' file IDs.
struct DiscLayout {
    std::vector<DirRecord> records;

    DiscLayout()
    {
        records.push_back(
            {"PATIENT", Element(0x0010, 0x0010, "PN", "Thread^Count") + Element(0x0010, 0x0020, "LO", "T62"), {1}});
        records.push_back(
            {"STUDY", Element(0x0008, 0x0020, "DA", "20260101") + Element(0x0020, 0x000D, "UI", "1.2.62.5.1"), {}});
    }
    void AddSeries(const std::string& uid, int number, const std::vector<std::string>& fileIds)
    {
        records[1].children.push_back(records.size());
        records.push_back({"SERIES",
                           Element(0x0008, 0x0060, "CS", "OT") + Element(0x0020, 0x000E, "UI", uid) +
                               Element(0x0020, 0x0011, "IS", std::to_string(number)),
                           {}});
        const size_t series = records.size() - 1;
        for (size_t k = 0; k < fileIds.size(); ++k) {
            records[series].children.push_back(records.size());
            records.push_back({"IMAGE",
                               Element(0x0004, 0x1500, "CS", fileIds[k]) +
                                   Element(0x0004, 0x1510, "UI", kSecondaryCapture) +
                                   Element(0x0004, 0x1511, "UI", uid + "." + std::to_string(k + 1)) +
                                   Element(0x0020, 0x0013, "IS", std::to_string(k + 1)),
                               {}});
        }
    }
};

void WriteFile(const std::string& path, const std::string& data)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), f), data.size());
    std::fclose(f);
}

// Set in the process a test runs its disc in.
constexpr char kOwnProcess[] = "KV_DISC_TEST_OWN_PROCESS";

// True where the test is to run: in a process of its own, which the first run starts, so
// that the peak memory is this disc's alone, as the viewer's would be, not what earlier tests
// of this binary left resident.
bool InOwnProcess()
{
    if (std::getenv(kOwnProcess) != nullptr) {
        return true;
    }
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    const std::string command =
        fs::read_symlink("/proc/self/exe").string() + " --gtest_filter=" + info->test_suite_name() + "." + info->name();
    ScopedEnv child(kOwnProcess, "1");
    EXPECT_EQ(std::system(command.c_str()), 0);
    return false;
}

// Threads, stall and memory of a disc's load, sampled while the test waits on it.
class HostileThreadsTest : public DiscOpenTest {
protected:
    void SetUp() override
    {
        DiscOpenTest::SetUp();
        // The terms are answered: the list's first study opens as at start-up.
        frame->OnAgreementClosed(1);
        Pump();
    }
    // From here on, once the disc is written: the stall meter runs, and the threads now are
    // the idle count.
    void StartMeasuring()
    {
        HoldQtPoolThreads();
        ResetPeakResidentBytes();
        stall_.emplace();
        idleThreads_ = ProcessThreadCount();
        mostThreads_ = idleThreads_;
    }

    // Pumps until done() or ms pass, keeping the most threads seen.
    bool PumpSampling(const std::function<bool()>& done, int ms)
    {
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            mostThreads_ = std::max(mostThreads_, ProcessThreadCount());
            if (done()) {
                return true;
            }
            if (timer.elapsed() > BuildWaitMs(ms)) {
                return false;
            }
        }
    }
    // The study cells a 1280 x 1024 frame shows at once.
    std::vector<XEVImageViewCtrl*> CellsOnScreen()
    {
        std::vector<XEVImageViewCtrl*> cells;
        const QRect client = Image().rect();
        for (const auto& [id, cell] : Image().studyCells) {
            if (!cell->isHidden() && cell->geometry().intersects(client)) {
                cells.push_back(cell);
            }
        }
        return cells;
    }
    static bool Shown(XEVImageViewCtrl* cell) { return cell->CurrentImage() != nullptr && cell->HasFramePixels(0); }
    void Report(const char* name, qint64 ms)
    {
        std::printf("[ figures  ] %s: %lld ms, peak RSS %llu MB, threads %d (idle %d), longest stall %lld ms\n", name,
                    static_cast<long long>(ms), static_cast<unsigned long long>(PeakResidentBytes() >> 20),
                    mostThreads_, idleThreads_, static_cast<long long>(stall_->LongestMs()));
    }

    std::optional<GuiStallMeter> stall_;
    int idleThreads_ = 0;
    int mostThreads_ = 0;
};

}   // namespace

// 20,000 series of two images each in one study: only the cells on screen hold loaders (one
// runs at a time, the rest wait their turn without a thread), the window keeps answering, and
// each cell on screen paints both of its images' first in white.
TEST_F(HostileThreadsTest, ManySeriesStartNoThreadPerSeries)
{
    if (!InOwnProcess()) {
        return;
    }
    constexpr int kSeries = 20000;
    const std::string disc = temp_.Path() + "/disc";
    DiscLayout layout;
    for (int s = 0; s < kSeries; ++s) {
        const std::string folder = "F" + std::to_string(s / 500);
        const std::string name = "S" + std::to_string(s);
        fs::create_directories(disc + "/" + folder);
        const std::string uid = "1.2.62.5.2." + std::to_string(s + 1);
        for (int k = 1; k <= 2; ++k) {
            WriteFile(disc + "/" + folder + "/" + name + char('A' + k - 1),
                      SmallImage(uid, uid + "." + std::to_string(k), k));
        }
        layout.AddSeries(uid, s + 1, {folder + "\\" + name + "A", folder + "\\" + name + "B"});
    }
    WriteFile(disc + "/DICOMDIR", Dicomdir(layout.records));

    StartMeasuring();
    QElapsedTimer clock;
    clock.start();
    Open(disc + "/DICOMDIR", 300000);
    ASSERT_EQ(SeriesSizes(), std::vector<size_t>(kSeries, 2));
    std::vector<XEVImageViewCtrl*> onScreen;
    ASSERT_TRUE(PumpSampling(
        [&] {
            onScreen = CellsOnScreen();
            return !onScreen.empty() && std::all_of(onScreen.begin(), onScreen.end(), Shown);
        },
        60000));
    const qint64 shownMs = clock.elapsed();
    EXPECT_EQ(onScreen.size(), 36u);
    for (XEVImageViewCtrl* cell : onScreen) {
        EXPECT_GT(BrightPixels(cell), 0) << cell->ControlId();
    }
    // The cells further down load in turn; a while of it is sampled.
    PumpSampling([] { return false; }, 1000);
    Report("20,000 series of two images, cells on screen shown", shownMs);
    EXPECT_LE(mostThreads_, idleThreads_ + int(onScreen.size()));
    // Against a hang: the cells on screen show in one to two seconds alone.
    if (kHangCeilings) {
        EXPECT_LT(shownMs, 60000);
    }
    EXPECT_EQ(box.texts.size(), 0u);
}

// A zip whose middle series is a member of just under 2 GiB, honestly declared and deflated from a white
// 64 x 64 image and its zero padding: the grid waits a bounded time for it and the window
// answers while it is extracted; it paints when it has come, the cell before it at once and
// the cell after it once the single worker gets to it.
TEST_F(HostileThreadsTest, LargeMemberIsExtractedWhileTheWindowAnswers)
{
    if (!InOwnProcess()) {
        return;
    }
    // Just under 2 GiB in all, the most a file the image reader opens may hold.
    constexpr uint64_t kPadding = uint64_t(2047) << 20;
    const std::string bright(64 * 64, '\xFF');
    const std::string head = ImageHead("1.2.62.5.2.2", "1.2.62.5.2.2.1", 1, 64, uint32_t(bright.size() + kPadding));
    const std::string front = head + bright;
    // The front as one block flushed whole, then the zeros' own blocks and their end.
    z_stream z{};
    ASSERT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string packed(deflateBound(&z, uLong(front.size())) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(front.data()));
    z.avail_in = uInt(front.size());
    z.next_out = reinterpret_cast<Bytef*>(packed.data());
    z.avail_out = uInt(packed.size());
    ASSERT_EQ(deflate(&z, Z_FULL_FLUSH), Z_OK);
    packed.resize(packed.size() - z.avail_out);
    deflateEnd(&z);
    packed += ZipMakerDeflatedZeros(2047);
    const uLong frontCrc = crc32(0, reinterpret_cast<const Bytef*>(front.data()), uInt(front.size()));
    const uLong crc = crc32_combine(frontCrc, ZipMakerZerosCrc(kPadding), z_off_t(kPadding));

    DiscLayout layout;
    layout.AddSeries("1.2.62.5.2.1", 1, {"IMG\\A"});
    layout.AddSeries("1.2.62.5.2.2", 2, {"IMG\\BIG"});
    layout.AddSeries("1.2.62.5.2.3", 3, {"IMG\\C"});
    const std::string zip = temp_.Path() + "/disc.zip";
    ASSERT_TRUE(MakeZip(zip, {{"DICOMDIR", Dicomdir(layout.records)},
                              {"IMG/A", SmallImage("1.2.62.5.2.1", "1.2.62.5.2.1.1", 1)},
                              {"IMG/BIG", packed, false, front.size() + kPadding, Z_DEFLATED, crc},
                              {"IMG/C", SmallImage("1.2.62.5.2.3", "1.2.62.5.2.3.1", 1)}}));
    packed = std::string();

    StartMeasuring();
    QElapsedTimer clock;
    clock.start();
    Open(zip);
    ASSERT_EQ(SeriesSizes(), (std::vector<size_t>{1, 1, 1}));
    std::vector<XEVImageViewCtrl*> cells;
    ASSERT_TRUE(PumpSampling(
        [&] {
            cells = CellsOnScreen();
            return cells.size() >= 3 && Shown(cells[0]);
        },
        10000));
    const qint64 firstMs = clock.elapsed();
    // The GUI thread's passes that saw the member half written: none when it waited for the
    // extraction, which writes 2 GiB.
    const std::string big = GetLoadState().GetExtractFolder() + "/IMG/BIG";
    int passesWhileWritten = 0;
    const auto beingWritten = [&] {
        std::error_code error;
        if (fs::exists(big, error)) {
            return false;
        }
        for (const auto& entry : fs::directory_iterator(fs::path(big).parent_path(), error)) {
            const std::string name = entry.path().filename().string();
            if (name != "A" && name != "C" && entry.file_size(error) > 0 && !error) {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(PumpSampling(
        [&] {
            passesWhileWritten += beingWritten() ? 1 : 0;
            return Shown(cells[1]) && Shown(cells[2]);
        },
        120000))
        << Shown(cells[1]) << Shown(cells[2]) << " " << box.texts.size() << " "
        << (box.texts.empty() ? std::string() : box.texts[0].toStdString());
    const qint64 allMs = clock.elapsed();
    std::printf("[ figures  ] 2 GiB member: the cell before it shown after %lld ms\n", static_cast<long long>(firstMs));
    Report("2 GiB member, all three shown", allMs);
    for (size_t k = 0; k < 3; ++k) {
        EXPECT_GT(BrightPixels(cells[k]), 0) << k;
    }
    EXPECT_EQ(fs::file_size(big), front.size() + kPadding);
    EXPECT_GT(passesWhileWritten, 0);
    EXPECT_LE(mostThreads_, idleThreads_ + int(cells.size()));
    EXPECT_EQ(box.texts.size(), 0u);
}
