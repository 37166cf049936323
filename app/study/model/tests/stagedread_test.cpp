// Reading an image's file before its lock is taken: a paint that waits on the lock never waits
// for the medium, a multi-frame file's first frame needs only its own bytes, and a stop ends a
// long read within one block. Files written by pydicom at test time; frame memory checked
// against the closed form the script wrote.
#include <gtest/gtest.h>

#include <QString>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plat_temp_folder.h"
#include "study/xevjobhost.h"
#include "study/xevloadstate.h"
#include "study/xevstagedread.h"
#include "study/xevstudymodel.h"
#include "study/xevvekhelper.h"
#include "testsupport/slowdisc.h"

namespace {

std::string WriteFrames(const PlatTempFolder& temp, const char* name, int frames, int rows, int cols,
                        const std::string& intercept = {})
{
    const std::string out = temp / name;
    const std::string command =
        "PYTHONDONTWRITEBYTECODE=1 PYTHONPATH=" KV_SAMPLE_DIR
        "/../app/testsupport/python /usr/bin/python3 -W ignore " STUDY_TEST_DATA_DIR "/write_staged_frames.py " +
        out + " " + std::to_string(frames) + " " + std::to_string(rows) + " " + std::to_string(cols) + " " + intercept;
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return out;
}

// Frame k's memory as the script wrote it.
bool FrameMatches(const FrameImageInfo* frame, int k, int rows, int cols)
{
    if (frame == nullptr || frame->Size() != uint32_t(rows * cols * 2)) {
        return false;
    }
    for (int y = 0; y < rows; ++y) {
        const uint16_t expected = uint16_t((1000 * k + y) % 65536);
        for (int x = 0; x < cols; x += 7) {
            uint16_t value;
            std::memcpy(&value, frame->Data() + 2 * (y * cols + x), 2);
            if (value != expected) {
                return false;
            }
        }
    }
    return true;
}

// What the medium saw: every request, and whether the image's lock could be taken meanwhile.
struct ReadLog {
    std::mutex mutex;
    ImageInfo* watched = nullptr;
    std::atomic<int32_t>* stopAfter = nullptr;
    int32_t stopAt = 0;
    int32_t requests = 0;
    int32_t requestsAfterStop = 0;
    int64_t bytes = 0;
    int32_t largest = 0;
    int32_t underLock = 0;
    // After the first request the file is cut to this size, as a medium failing part way.
    std::string cutPath;
    uintmax_t cutTo = 0;
    // Run at request `actAt`, on the reading thread, with no lock held.
    int32_t actAt = 0;
    std::function<void()> act;

    void Reset()
    {
        std::lock_guard<std::mutex> guard(mutex);
        requests = requestsAfterStop = largest = underLock = 0;
        bytes = 0;
    }
    // And no stop, cut or act planned.
    void Clear()
    {
        Reset();
        std::lock_guard<std::mutex> guard(mutex);
        stopAfter = nullptr;
        stopAt = actAt = 0;
        cutPath.clear();
        act = nullptr;
    }
};
ReadLog* activeLog = nullptr;

void Observe(const std::string&, int64_t, int32_t bytes)
{
    ReadLog& log = *activeLog;
    std::lock_guard<std::mutex> guard(log.mutex);
    if (log.stopAfter != nullptr && log.stopAfter->load() != 0) {
        ++log.requestsAfterStop;
    }
    ++log.requests;
    log.bytes += bytes;
    log.largest = std::max(log.largest, bytes);
    if (log.watched != nullptr) {
        // Another thread, as the GUI would: can it take the image's lock now?
        bool free = false;
        std::thread([&] {
            if (log.watched->GetLock().try_lock()) {
                free = true;
                log.watched->GetLock().unlock();
            }
        }).join();
        log.underLock += free ? 0 : 1;
    }
    if (log.stopAfter != nullptr && log.requests == log.stopAt) {
        log.stopAfter->store(1);
    }
    if (!log.cutPath.empty() && log.requests == 1) {
        std::filesystem::resize_file(log.cutPath, log.cutTo);
    }
    if (log.act && log.requests == log.actAt) {
        log.act();
    }
}

class StagedReadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        activeLog = &log_;
        XEVSetReadObserver(Observe);
    }
    void TearDown() override
    {
        XEVSetReadObserver(nullptr);
        activeLog = nullptr;
    }

    // A load with a stop raised at request `at`: it ends there, asks for nothing after, and
    // leaves no frame and no failure text for a cell to show (stopped is not failed).
    void ExpectStoppedAtRequest(ImageInfo& image, std::atomic<int32_t>& stop, int32_t at)
    {
        log_.stopAfter = &stop;
        log_.stopAt = at;
        int32_t frame = 0;
        EXPECT_EQ(image.LoadImage(frame, XEVWindowHandle(), 1, &stop), 0);
        EXPECT_EQ(log_.requests, at);
        EXPECT_EQ(log_.requestsAfterStop, 0);
        std::lock_guard<PlatRecursiveLock> guard(image.GetLock());
        const XEVVEKHelper* helper = image.GetHelper();
        EXPECT_TRUE(helper == nullptr || (helper->statusCode == 0 && !helper->IsFrameLoaded(0)));
    }
    // Unstopped, the file's one frame decodes whole, read in blocks.
    void ExpectDecodesWhole(ImageInfo& image, std::atomic<int32_t>& stop, int rows, int cols)
    {
        log_.stopAfter = nullptr;
        stop = 0;
        int32_t frame = 0;
        ASSERT_EQ(image.LoadImage(frame, XEVWindowHandle(), 1, &stop), 1);
        EXPECT_LE(log_.largest, kXEVReadBlock);
        std::lock_guard<PlatRecursiveLock> guard(image.GetLock());
        EXPECT_TRUE(FrameMatches(image.GetHelper()->GetFrame(0), 0, rows, cols));
    }

    PlatTempFolder temp_;
    ReadLog log_;
};

TEST_F(StagedReadTest, TheFileIsReadWithTheImageLockFreeAndEveryFrameDecodes)
{
    constexpr int kFrames = 12, kRows = 256, kCols = 256;
    ImageInfo image;
    image.SetFilePath(QString::fromStdString(WriteFrames(temp_, "multi.dcm", kFrames, kRows, kCols)));
    log_.watched = &image;
    const uint64_t parsesBefore = XEVValueParsesUnderImageLock();
    int32_t frame = 0;
    int32_t loads = 0;
    while (frame != -1 && loads <= kFrames) {
        ASSERT_EQ(image.LoadImage(frame, XEVWindowHandle(), 1), 1);
        ++loads;
    }
    EXPECT_EQ(loads, kFrames);
    EXPECT_GT(log_.requests, 0);
    EXPECT_EQ(log_.underLock, 0) << "requests made while the image's lock was held";
    EXPECT_EQ(XEVValueParsesUnderImageLock(), parsesBefore) << "values read while the image's lock was held";
    EXPECT_LE(log_.largest, kXEVReadBlock);
    // Each byte once: the frames follow one another and none is read twice.
    const int64_t size = int64_t(std::filesystem::file_size(image.filePath.toStdString()));
    EXPECT_LE(log_.bytes, size + 64 * 1024);
    {
        std::lock_guard<PlatRecursiveLock> guard(image.GetLock());
        const XEVVEKHelper* helper = image.GetHelper();
        ASSERT_NE(helper, nullptr);
        for (int k = 0; k < kFrames; ++k) {
            EXPECT_TRUE(FrameMatches(helper->GetFrame(k), k, kRows, kCols)) << "frame " << k;
        }
    }

    // A frame already decoded costs no read; a load is never started under the image's lock.
    const int32_t before = log_.requests;
    frame = 3;
    image.loadedPath = image.filePath;
    EXPECT_EQ(image.LoadImage(frame, XEVWindowHandle(), 1), 1);
    EXPECT_EQ(log_.requests, before);
}

TEST_F(StagedReadTest, TheFirstFrameOfALargeFileNeedsOnlyItsOwnBytes)
{
    // 40 frames of 512 x 512 x 16 bits: 20 MiB, each frame 512 KiB.
    constexpr int kFrames = 40, kRows = 512, kCols = 512;
    ImageInfo image;
    image.SetFilePath(QString::fromStdString(WriteFrames(temp_, "large.dcm", kFrames, kRows, kCols)));
    int32_t frame = 0;
    ASSERT_EQ(image.LoadImage(frame, XEVWindowHandle(), 1), 1);
    EXPECT_EQ(frame, 1);
    // The header and the first frame's half MiB, read a block ahead at most; not the file.
    EXPECT_LE(log_.bytes, int64_t(kXEVReadBlock) + kRows * kCols * 2);
    std::lock_guard<PlatRecursiveLock> guard(image.GetLock());
    ASSERT_NE(image.GetHelper(), nullptr);
    EXPECT_TRUE(FrameMatches(image.GetHelper()->GetFrame(0), 0, kRows, kCols));
}

TEST_F(StagedReadTest, AStopEndsALongReadWithinOneBlockAndSaysNothing)
{
    // One frame of 3000 x 3000 x 16 bits: 18 MB, read in blocks.
    constexpr int kRows = 3000, kCols = 3000;
    ImageInfo image;
    image.SetFilePath(QString::fromStdString(WriteFrames(temp_, "huge.dcm", 1, kRows, kCols)));
    std::atomic<int32_t> stop{0};
    ExpectStoppedAtRequest(image, stop, 3);

    // The job host's worker passes its stop flag the same way.
    log_.Reset();
    log_.stopAfter = &stop;
    log_.stopAt = 2;
    stop = 0;
    CXEVThreadUI::RunImageJob(&image, &stop);
    EXPECT_EQ(log_.requests, 2);

    ExpectDecodesWhole(image, stop, kRows, kCols);
}

TEST_F(StagedReadTest, AFrameOfTheWholeDecodeBudgetIsReadOutsideTheLockAndAStopEndsIt)
{
    // One frame of 8190 x 8190 x 16 bits: 134 MB, just inside the decode budget, staged whole.
    constexpr int kRows = 8190, kCols = 8190;
    ImageInfo image;
    image.SetFilePath(QString::fromStdString(WriteFrames(temp_, "vast.dcm", 1, kRows, kCols)));
    log_.watched = &image;
    std::atomic<int32_t> stop{0};
    ExpectStoppedAtRequest(image, stop, 40);
    EXPECT_EQ(log_.underLock, 0);

    log_.Reset();
    ExpectDecodesWhole(image, stop, kRows, kCols);
    EXPECT_EQ(log_.underLock, 0) << "requests made while the image's lock was held";
    EXPECT_GE(log_.bytes, int64_t(kRows) * kCols * 2);
}

TEST_F(StagedReadTest, AReadThatFailsEndsTheLoadWithItsMessageAndReadsNothingUnderTheLock)
{
    constexpr int kRows = 1500, kCols = 1500;
    ImageInfo image;
    const std::string path = WriteFrames(temp_, "failing.dcm", 1, kRows, kCols);
    image.SetFilePath(QString::fromStdString(path));
    log_.watched = &image;
    // The header reads; then the medium fails: the file ends early in its pixels.
    log_.cutPath = path;
    log_.cutTo = 100000;
    int32_t frame = 0;
    EXPECT_EQ(image.LoadImage(frame, XEVWindowHandle(), 1), 0);
    EXPECT_EQ(frame, -1);
    EXPECT_EQ(log_.requests, 2);   // the header, then the block that came back short
    EXPECT_EQ(log_.underLock, 0);
    std::lock_guard<PlatRecursiveLock> guard(image.GetLock());
    const XEVVEKHelper* helper = image.GetHelper();
    ASSERT_NE(helper, nullptr);
    EXPECT_EQ(helper->statusCode, -2003);
    EXPECT_TRUE(helper->statusText.contains(QString::fromStdString(path)));
    EXPECT_FALSE(helper->IsFrameLoaded(0));

    // A file that is not there: its own message, and no read at all.
    ImageInfo missing;
    missing.SetFilePath(QString::fromStdString(temp_ / "absent.dcm"));
    log_.Reset();
    log_.cutPath.clear();
    frame = 0;
    EXPECT_EQ(missing.LoadImage(frame, XEVWindowHandle(), 1), 0);
    EXPECT_EQ(log_.requests, 0);
    std::lock_guard<PlatRecursiveLock> missingGuard(missing.GetLock());
    ASSERT_NE(missing.GetHelper(), nullptr);
    EXPECT_EQ(missing.GetHelper()->statusCode, XEVVEKHelper::kStatusFileNotFound);
}

}   // namespace

// Past the staged span a frame is read as its decode goes: what was read on demand is let go a
// few blocks behind the reader, so a large frame's file bytes are not held beside its decoded
// samples; each byte is still read from the medium once.
TEST_F(StagedReadTest, BytesReadOnDemandAreNotKeptBehindTheReader)
{
    const std::string path = temp_ / "long.bin";
    std::ofstream(path, std::ios::binary).close();
    std::filesystem::resize_file(path, 64 << 20);
    XEVStagedFile file;
    ASSERT_TRUE(file.Open(path));
    std::vector<char> buffer(256 << 10);
    for (int64_t at = 0; at < file.Size(); at += int64_t(buffer.size())) {
        ASSERT_EQ(file.ReadAt(at, buffer.data(), int32_t(buffer.size())), int32_t(buffer.size()));
    }
    EXPECT_LE(file.HeldBytes(), size_t(8) * kXEVReadBlock);
    EXPECT_EQ(log_.bytes, int64_t(file.Size()));
}

namespace {

// The file's bytes i mod 251, so that any byte served from the wrong place shows.
std::string WritePattern(const PlatTempFolder& temp, int32_t size)
{
    const std::string path = temp / "pattern.bin";
    std::string bytes(size_t(size), '\0');
    for (int32_t i = 0; i < size; ++i) {
        bytes[size_t(i)] = char(i % 251);
    }
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

bool ReadsPattern(XEVStagedFile& file, int64_t at, int32_t n)
{
    std::vector<char> buffer(static_cast<size_t>(n));
    if (file.ReadAt(at, buffer.data(), n) != n) {
        return false;
    }
    for (int32_t i = 0; i < n; ++i) {
        if (buffer[size_t(i)] != char((at + i) % 251)) {
            return false;
        }
    }
    return true;
}

}   // namespace

// A staged frame read by its decode: what was read goes, a couple of blocks behind, whether
// the reader goes straight through or through three planes at once; a reader stepping back a
// byte across a block's end still finds it; bytes not read yet stay; and with letting go off a
// second pass reads everything again.
TEST_F(StagedReadTest, StagedBytesGoAsTheDecodeReadsThem)
{
    constexpr int32_t kSize = 12 * kXEVReadBlock;
    const std::string path = WritePattern(temp_, kSize);
    const size_t kept = size_t(2) * kXEVReadBlock;
    {
        XEVStagedFile file;
        ASSERT_TRUE(file.Open(path));
        ASSERT_TRUE(file.Fetch(0, kSize, nullptr));
        file.Seal();
        file.LetGoAsRead(true);
        // Straight through a block at a time, each read starting a byte back in the block
        // before, as a pair swap does.
        for (int64_t at = 0; at < kSize / 2; at += kXEVReadBlock) {
            const int64_t from = std::max<int64_t>(at - 1, 0);
            ASSERT_TRUE(ReadsPattern(file, from, int32_t(at + kXEVReadBlock - from))) << at;
        }
        EXPECT_LE(file.HeldBytes(), size_t(kSize / 2) + kept + kXEVReadBlock);
        EXPECT_GE(file.HeldBytes(), size_t(kSize / 2));
        // The rest as three planes read a line of each in turn.
        constexpr int32_t kPlane = kSize / 6;
        constexpr int32_t kLine = 1000;
        for (int64_t y = 0; y < kPlane; y += kLine) {
            for (int p = 0; p < 3; ++p) {
                const int64_t at = kSize / 2 + p * kPlane + y;
                ASSERT_TRUE(ReadsPattern(file, at, int32_t(std::min<int64_t>(kLine, kPlane - y)))) << at;
            }
        }
        EXPECT_LE(file.HeldBytes(), kept);
    }
    {
        XEVStagedFile file;
        ASSERT_TRUE(file.Open(path));
        ASSERT_TRUE(file.Fetch(0, kSize, nullptr));
        file.Seal();
        file.LetGoAsRead(false);
        for (int pass = 0; pass < 2; ++pass) {
            ASSERT_TRUE(ReadsPattern(file, 0, kSize)) << pass;
        }
        EXPECT_EQ(file.HeldBytes(), size_t(kSize));
    }
}

// The bytes a file holds are counted against its meter while held, and moved whole from one
// meter to another; a range the meter refuses is not read, the file says so, and what it held
// stays counted. Letting go and the file's end give every byte back.
TEST_F(StagedReadTest, HeldBytesCountAgainstTheMeter)
{
    constexpr int32_t kSize = 6 * kXEVReadBlock;
    const std::string path = WritePattern(temp_, kSize);
    XEVReadManager staging(64u << 20);
    XEVReadManager decode(64u << 20);
    // What each manager holds of its own.
    const uint64_t own = decode.in_use();
    ASSERT_EQ(staging.in_use(), own);
    {
        XEVStagedFile file;
        ASSERT_TRUE(file.Open(path));
        ASSERT_TRUE(file.ChargeTo(&staging));
        ASSERT_TRUE(file.Fetch(0, kSize, nullptr));
        EXPECT_EQ(staging.in_use() - own, uint64_t(kSize));
        ASSERT_TRUE(file.ChargeTo(&decode));
        EXPECT_EQ(staging.in_use(), own);
        EXPECT_EQ(decode.in_use() - own, uint64_t(kSize));
        file.Seal();
        file.LetGoAsRead(true);
        ASSERT_TRUE(ReadsPattern(file, 0, kSize));
        EXPECT_EQ(decode.in_use() - own, uint64_t(file.HeldBytes()));
        EXPECT_LE(decode.in_use() - own, uint64_t(2) * kXEVReadBlock);
        EXPECT_EQ(decode.peak() - own, uint64_t(kSize));
    }
    EXPECT_EQ(decode.in_use(), own);
    {
        // Room for two and a half blocks: the third is refused before it is read.
        XEVReadManager small(own + 5 * kXEVReadBlock / 2);
        XEVStagedFile file;
        ASSERT_TRUE(file.Open(path));
        ASSERT_TRUE(file.ChargeTo(&small));
        log_.Reset();
        EXPECT_FALSE(file.Fetch(0, kSize, nullptr));
        EXPECT_TRUE(file.Refused());
        EXPECT_FALSE(file.Failed());
        EXPECT_EQ(log_.requests, 2);
        EXPECT_EQ(small.in_use() - own, uint64_t(2) * kXEVReadBlock);
        EXPECT_EQ(small.budget_refusals(), 1u);
        // A meter that cannot take what is held leaves it where it was.
        staging.set_budget(own + kXEVReadBlock);
        EXPECT_FALSE(file.ChargeTo(&staging));
        EXPECT_EQ(small.in_use() - own, uint64_t(2) * kXEVReadBlock);
        file.ChargeTo(nullptr);
        EXPECT_EQ(small.in_use(), own);
    }
    EXPECT_EQ(staging.in_use(), own);
}

// Once sealed, bytes past the staged span are still read as the reader asks, a block at a time
// and only inside the late range, under the meter and the stop; the few blocks kept behind the
// reader are all it holds. Outside that range, a sealed file serves nothing it does not hold.
TEST_F(StagedReadTest, BytesPastTheStagedSpanAreReadLateWithTheStop)
{
    constexpr int32_t kSize = 24 * kXEVReadBlock;
    const std::string path = WritePattern(temp_, kSize);
    XEVReadManager meter(64u << 20);
    const uint64_t own = meter.in_use();
    std::atomic<int32_t> stop{0};
    XEVStagedFile file;
    ASSERT_TRUE(file.Open(path));
    ASSERT_TRUE(file.ChargeTo(&meter));
    file.SetStop(&stop);
    ASSERT_TRUE(file.Fetch(0, kXEVReadBlock, &stop));
    file.Seal();
    file.ReadLateOnDemand(kXEVReadBlock, 20 * kXEVReadBlock, XEVReadPriority::OnScreen);
    log_.Reset();
    for (int64_t at = 0; at < 20 * kXEVReadBlock; at += 256 << 10) {
        ASSERT_TRUE(ReadsPattern(file, at, 256 << 10)) << at;
    }
    EXPECT_EQ(log_.requests, 19);
    EXPECT_EQ(log_.largest, kXEVReadBlock);
    EXPECT_LE(meter.peak() - own, uint64_t(9) * kXEVReadBlock);
    EXPECT_EQ(meter.in_use() - own, uint64_t(file.HeldBytes()));
    char byte = 0;
    EXPECT_EQ(file.ReadAt(20 * kXEVReadBlock, &byte, 1), 0);
    EXPECT_EQ(file.ReadAt(kSize - 1, &byte, 1), 0);
    // Back into the late range after its blocks went, once stopped: nothing more is read.
    stop.store(1);
    EXPECT_EQ(file.ReadAt(2 * kXEVReadBlock, &byte, 1), 0);
    EXPECT_EQ(log_.requests, 19);
}

// A rescale whose results pass the 16-bit range has memory clamped on its bound, and the frame
// decoded a second time for its stored values, from the same staged bytes: both passes read
// every byte, and the readout keeps each row's stored value.
TEST_F(StagedReadTest, AFrameDecodedTwiceReadsItsBytesBothTimes)
{
    constexpr int kRows = 2048, kCols = 2048;
    constexpr int kIntercept = 64000;
    ImageInfo image;
    image.SetFilePath(
        QString::fromStdString(WriteFrames(temp_, "clamped.dcm", 1, kRows, kCols, std::to_string(kIntercept))));
    int32_t frame = 0;
    ASSERT_EQ(image.LoadImage(frame, XEVWindowHandle(), 1), 1);
    std::lock_guard<PlatRecursiveLock> guard(image.GetLock());
    const FrameImageInfo* decoded = image.GetHelper()->GetFrame(0);
    ASSERT_NE(decoded, nullptr);
    ASSERT_EQ(decoded->Size(), uint32_t(kRows * kCols * 2));
    ASSERT_EQ(decoded->probeBuffer.Size(), uint32_t(kRows * kCols * 2));
    int wrongRows = 0;
    for (int y = 0; y < kRows; ++y) {
        uint16_t shown = 0;
        uint16_t stored = 0;
        const size_t at = size_t(2) * (size_t(y) * kCols + kCols - 1);
        std::memcpy(&shown, decoded->Data() + at, 2);
        std::memcpy(&stored, decoded->probeBuffer.Data() + at, 2);
        wrongRows += shown != std::min(y + kIntercept, 65535) || stored != y ? 1 : 0;
    }
    EXPECT_EQ(wrongRows, 0);
}

namespace {

// Writes write_long_header_frames.py's file; the values pydicom reads back of it, by name.
std::map<std::string, double> WriteLongHeaderFrames(const std::string& out, int frames, int rows, int cols, int items,
                                                    const char* kind = "")
{
    const std::string command = "PYTHONDONTWRITEBYTECODE=1 PYTHONPATH=" KV_SAMPLE_DIR
                                "/../app/testsupport/python /usr/bin/python3 -W ignore " STUDY_TEST_DATA_DIR
                                "/write_long_header_frames.py " +
                                out + " " + std::to_string(frames) + " " + std::to_string(rows) + " " +
                                std::to_string(cols) + " " + std::to_string(items) + " " + kind;
    std::map<std::string, double> values;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return values;
    }
    char name[64];
    double value = 0;
    while (std::fscanf(pipe, "%63s %lf", name, &value) == 2) {
        values[name] = value;
    }
    EXPECT_EQ(pclose(pipe), 0) << command;
    return values;
}

}   // namespace

// A later frame of a multi-frame file decodes by the header its image kept, however the load
// before it ended: stopped before or while reading its bytes, failed on them, or finding its
// frame decoded meanwhile. On the slow medium, its cache smaller than the header, the next frame
// then asks the drive for its own span alone, not for the 2 MB header again.
TEST_F(StagedReadTest, ALoadThatEndsEarlyLeavesTheKeptHeaderForTheNextFrame)
{
    constexpr int kFrames = 8, kRows = 256, kCols = 256;
    constexpr int64_t kFrameBytes = int64_t(kRows) * kCols * 2;
    if (!OnSlowDisc()) {
        const std::string disc = temp_ / "disc";
        std::filesystem::create_directories(disc);
        const std::map<std::string, double> file =
            WriteLongHeaderFrames(disc + "/longheader.dcm", kFrames, kRows, kCols, 2000);
        ASSERT_GT(file.at("pixelOffset"), 2e6);
        std::filesystem::copy_file(disc + "/longheader.dcm", disc + "/longheader.copy");
        SlowDiscSettings settings(disc, 6e6, 100, 0);
        settings.cacheMb = 1;
        RunTestOnSlowDisc(settings);
        return;
    }
    const std::string path = SlowDiscRoot() + "/longheader.dcm";
    const std::string original = SlowDiscRoot() + "/longheader.copy";
    const int64_t pixelOffset = int64_t(std::filesystem::file_size(path)) - kFrames * kFrameBytes;
    std::atomic<int32_t> stop{0};
    enum class End { StopBefore, StopAtFirstRequest, StopInStaging, ReadFails, FoundLoaded };
    for (const End end :
         {End::StopBefore, End::StopAtFirstRequest, End::StopInStaging, End::ReadFails, End::FoundLoaded}) {
        SCOPED_TRACE(int(end));
        ImageInfo image;
        image.SetFilePath(QString::fromStdString(path));
        log_.Clear();
        stop = 0;
        int32_t frame = 0;
        ASSERT_EQ(image.LoadImage(frame, XEVWindowHandle(), 1, &stop), 1);
        ASSERT_EQ(frame, 1);
        XEVVEKHelper* helper = image.GetHelper();
        ASSERT_NE(helper, nullptr);
        const uint64_t kept = helper->AccountCharge();
        ASSERT_GT(kept, 0u);

        log_.Reset();
        switch (end) {
        case End::StopBefore: stop = 1; break;
        case End::StopAtFirstRequest:
        case End::StopInStaging:
            log_.stopAfter = &stop;
            log_.stopAt = end == End::StopAtFirstRequest ? 1 : 2;
            break;
        case End::ReadFails:
            log_.cutPath = path;
            log_.cutTo = uintmax_t(pixelOffset + kFrameBytes + 1000);
            break;
        case End::FoundLoaded:
            // Another reader's frame arrives while this load reads the medium.
            log_.actAt = 1;
            log_.act = [helper] {
                auto* decoded = new FrameImageInfo;
                decoded->Allocate(uint32_t(kFrameBytes));
                std::lock_guard<PlatRecursiveLock> guard(helper->lock);
                helper->AddFrame(1, decoded);
            };
            break;
        }
        frame = 1;
        image.LoadImage(frame, XEVWindowHandle(), 1, &stop);
        if (end == End::ReadFails) {
            std::filesystem::copy_file(original, path, std::filesystem::copy_options::overwrite_existing);
            std::lock_guard<PlatRecursiveLock> guard(image.GetLock());
            EXPECT_EQ(helper->statusCode, -2003);
            EXPECT_FALSE(helper->IsFrameLoaded(1));
        }
        log_.Clear();
        stop = 0;
        frame = 2;
        const size_t logged = SlowDiscLog().size();
        ASSERT_EQ(image.LoadImage(frame, XEVWindowHandle(), 1, &stop), 1);
        // The pixel element's 12-byte header and the frame's samples: two requests.
        EXPECT_EQ(log_.requests, 2);
        EXPECT_EQ(log_.bytes, kFrameBytes + 12);
        // At the drive: the frame, and after each of the two requests the window the mount reads
        // ahead, a page each side.
        const std::vector<SlowDiscEvent> events = SlowDiscLog();
        int64_t driveBytes = 0;
        for (size_t i = logged; i < events.size(); ++i) {
            driveBytes += events[i].path == path ? events[i].driveBytes : 0;
        }
        EXPECT_LE(driveBytes, kFrameBytes + 2 * (128 * 1024 + 4096));
        std::lock_guard<PlatRecursiveLock> guard(image.GetLock());
        ASSERT_EQ(image.GetHelper(), helper);
        EXPECT_TRUE(FrameMatches(helper->GetFrame(2), 2, kRows, kCols));
        EXPECT_EQ(helper->AccountCharge(), kept);
        EXPECT_EQ(GetLoadState().AccountOf(image.disc)->Held(), kept);
        EXPECT_FALSE(helper->HeaderLent());
    }
}

// What the load reads of the file ahead of the image's lock reaches the image for a later
// frame decoded by the kept header, also after a stopped one: the rescale, window and frame
// count as pydicom reads them, what the decode makes of a slope below 0.01, the colour flag and
// the corner's orientation.
TEST_F(StagedReadTest, ValuesReadAheadReachTheImageForALaterFrame)
{
    struct Case {
        const char* kind;
        int frames;
    };
    for (const Case& c : {Case{"rescaled", 4}, Case{"rgb", 3}}) {
        SCOPED_TRACE(c.kind);
        const std::string path = temp_ / (std::string("values") + c.kind + ".dcm");
        const std::map<std::string, double> file = WriteLongHeaderFrames(path, c.frames, 64, 64, 200, c.kind);
        ImageInfo image;
        image.SetFilePath(QString::fromStdString(path));
        std::atomic<int32_t> stop{0};
        int32_t frame = 0;
        ASSERT_EQ(image.LoadImage(frame, XEVWindowHandle(), 1, &stop), 1);
        log_.Clear();
        log_.stopAfter = &stop;
        log_.stopAt = 1;
        image.LoadImage(frame, XEVWindowHandle(), 1, &stop);
        log_.Clear();
        stop = 0;
        frame = 2;
        ASSERT_EQ(image.LoadImage(frame, XEVWindowHandle(), 1, &stop), 1);
        std::lock_guard<PlatRecursiveLock> guard(image.GetLock());
        const XEVVEKHelper* helper = image.GetHelper();
        ASSERT_NE(helper, nullptr);
        const FrameImageInfo* record = helper->GetFrame(2);
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(helper->frameCount, int32_t(file.at("frames")));
        EXPECT_EQ(helper->colorFlag, int32_t(file.at("colour")));
        // Patient's column direction is foot-ward, its rows run front to back.
        EXPECT_EQ(helper->orientationLetters[0], QStringLiteral("A"));
        EXPECT_EQ(helper->orientationLetters[2], QStringLiteral("H"));
        if (file.count("slope") != 0) {
            EXPECT_DOUBLE_EQ(record->rescaleSlope, file.at("slope"));
            EXPECT_DOUBLE_EQ(record->rescaleIntercept, file.at("intercept"));
            EXPECT_EQ(record->rescaleType, QStringLiteral("HU"));
            EXPECT_DOUBLE_EQ(helper->windowCenter, file.at("centre"));
            EXPECT_DOUBLE_EQ(helper->windowWidth, file.at("width"));
            EXPECT_EQ(helper->smallSlope, 1);
            EXPECT_DOUBLE_EQ(helper->smallSlopeIntercept, file.at("intercept") * 0.99);
        }
    }
}
