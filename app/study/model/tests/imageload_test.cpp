#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QString>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frameoracle.h"
#include "plat_temp_folder.h"
#include "shell/xev_uistring.h"
#include "shell/xev_utility.h"
#include "shell/xevmessage.h"
#include "shell/xevmessageids.h"
#include "study/xevloadstate.h"
#include "study/xevstudymodel.h"
#include "study/xevvekhelper.h"
#include "testsupport/qtguitestapp.h"

namespace {

QString Fixture(const char* name)
{
    return FrameFixture(name);
}

std::vector<uint8_t> Expected(const std::string& name, int frame)
{
    return ExpectedFrame(name, frame);
}

std::vector<uint8_t> Memory(const FrameImageInfo* frame)
{
    return frame == nullptr ? std::vector<uint8_t>()
                            : std::vector<uint8_t>(frame->Data(), frame->Data() + frame->Size());
}

// Loads frame 0 and checks it against the oracle.
FrameImageInfo* LoadAndCompare(XEVVEKHelper& helper, const char* name)
{
    int32_t frame = 0;
    EXPECT_EQ(helper.LoadImage(Fixture(name), frame), 1) << name << ": " << helper.statusText.toStdString();
    FrameImageInfo* loaded = helper.GetFrame(0);
    EXPECT_NE(loaded, nullptr) << name;
    EXPECT_EQ(Memory(loaded), Expected(name, 0)) << name;
    return loaded;
}

std::vector<int16_t> Words(const FrameImageInfo* frame)
{
    std::vector<int16_t> words(frame->Size() / 2);
    std::memcpy(words.data(), frame->Data(), words.size() * 2);
    return words;
}

}   // namespace

TEST(ImageLoadTest, FrameMemoryEqualsTheOracle)
{
    for (const char* name :
         {"ct_s16.dcm",       "cr_bs10.dcm",    "mono1.dcm",        "rgb_planar.dcm", "rle_ct_gdcm.dcm",
          "all_negative.dcm", "voi_bits17.dcm", "xa_log.dcm",       "xa_lin.dcm",     "maker_cr.dcm",
          "enhanced_ct.dcm",  "jpeg_e1.dcm",    "jpeg_ct12_e1.dcm", "pal_8_8.dcm",    "pal_8_16.dcm",
          "pal_16_0.dcm",     "ybr_422.dcm",    "mlut_signed.dcm",  "bs0.dcm",        "cr_no_bs.dcm"}) {
        XEVVEKHelper helper;
        LoadAndCompare(helper, name);
    }
}

TEST(ImageLoadTest, BaselineJpegWithinTheIdctRoundingOfDcmtk)
{
    // Lossy frames: IDCTs may round apart, so each sample within 2 and the mean within 0.5.
    XEVVEKHelper helper;
    int32_t frame = 0;
    ASSERT_EQ(helper.LoadImage(Fixture("jpeg_grey_eb.dcm"), frame), 1) << helper.statusText.toStdString();
    EXPECT_EQ(frame, -1);
    const std::vector<uint8_t> got = Memory(helper.GetFrame(0));
    const std::vector<uint8_t> want = Expected("jpeg_grey_eb.dcm", 0);
    ASSERT_EQ(want.size(), 48u * 64u);
    ASSERT_EQ(got.size(), want.size());
    int worst = 0;
    double total = 0;
    for (size_t i = 0; i < got.size(); ++i) {
        const int difference = std::abs(int(got[i]) - int(want[i]));
        worst = std::max(worst, difference);
        total += difference;
    }
    EXPECT_LE(worst, 2);
    EXPECT_LE(total / double(got.size()), 0.5);
}

TEST(ImageLoadTest, FrameIndexWalksTheFile)
{
    XEVVEKHelper single;
    int32_t frame = 5;
    ASSERT_EQ(single.LoadImage(Fixture("mono1.dcm"), frame), 1);
    EXPECT_EQ(frame, -1);
    EXPECT_EQ(single.allFramesLoaded, 1);
    EXPECT_NE(single.GetFrame(0), nullptr);
    EXPECT_EQ(single.frames.size(), 1u);

    XEVVEKHelper multi;
    frame = 0;
    std::vector<int32_t> handedBack;
    for (int guard = 0; guard < 12 && frame != -1; ++guard) {
        const int32_t loading = frame;
        ASSERT_EQ(multi.LoadImage(Fixture("multi10.dcm"), frame), 1);
        EXPECT_EQ(Memory(multi.GetFrame(loading)), Expected("multi10.dcm", loading));
        handedBack.push_back(frame);
    }
    EXPECT_EQ(handedBack, (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, -1}));
    EXPECT_EQ(multi.allFramesLoaded, 1);
    // Again: already loaded, only advances.
    FrameImageInfo* third = multi.GetFrame(3);
    frame = 3;
    ASSERT_EQ(multi.LoadImage(Fixture("multi10.dcm"), frame), 1);
    EXPECT_EQ(frame, 4);
    EXPECT_EQ(multi.GetFrame(3), third);
}

TEST(ImageLoadTest, FreshHelperDecodesTheFrameAskedForAndNoneBeyondTheFile)
{
    // An entry of one frame of a multi-frame file starts with a helper of its own.
    XEVVEKHelper entry;
    int32_t frame = 3;
    ASSERT_EQ(entry.LoadImage(Fixture("multi10.dcm"), frame), 1) << entry.statusText.toStdString();
    EXPECT_EQ(frame, 4);
    EXPECT_EQ(entry.frames.size(), 1u);
    EXPECT_EQ(Memory(entry.GetFrame(3)), Expected("multi10.dcm", 3));
    EXPECT_EQ(entry.currentFrame, 3);
    EXPECT_EQ(entry.cropWidth, 8);
    EXPECT_EQ(entry.cropHeight, 4);

    for (int32_t beyond : {10, 11}) {
        frame = beyond;
        EXPECT_EQ(entry.LoadImage(Fixture("multi10.dcm"), frame), 0);
        EXPECT_EQ(frame, -1);
        EXPECT_EQ(entry.statusCode, -2003);
        EXPECT_TRUE(entry.statusText.startsWith(GetMessageString(10008)));
        EXPECT_TRUE(entry.statusText.endsWith(QStringLiteral("[frame:%1]").arg(beyond + 1)))
            << entry.statusText.toStdString();
    }
    EXPECT_EQ(entry.frames.size(), 1u);
    XEVVEKHelper fresh;
    frame = 10;
    EXPECT_EQ(fresh.LoadImage(Fixture("multi10.dcm"), frame), 0);
    EXPECT_EQ(fresh.statusCode, -2003);
    EXPECT_TRUE(fresh.frames.empty());
}

// A loaded image keeps its header only for the frames still to read, charged to its disc's
// account, and lets its long values go back to the file: a 2 MiB private value keeps its length
// but no bytes, one of 64 KiB stays held, and the frame is the file's. A one-frame image, and one
// whose account is full, keep no header at all, the account holding nothing for them.
TEST(ImageLoadTest, LoadedImageKeepsItsHeaderOnlyAsFarAsItsAccount)
{
    PlatTempFolder temp;
    const auto withLongValues = [&temp](const char* fixture) {
        QFile source(Fixture(fixture));
        EXPECT_TRUE(source.open(QIODevice::ReadOnly));
        QByteArray bytes = source.readAll();
        const qsizetype at = bytes.indexOf(QByteArray("\x28\x00\x02\x00US", 6));
        EXPECT_GT(at, 0);
        const auto value = [](uint16_t element, uint32_t length) {
            QByteArray e("\x09\x00", 2);
            e.append(char(element & 0xFF)).append(char(element >> 8)).append("OB\0\0", 4);
            for (int i = 0; i < 4; ++i) {
                e.append(char((length >> (8 * i)) & 0xFF));
            }
            return e + QByteArray(int(length), '\x5A');
        };
        bytes.insert(at, value(0x1001, 2u << 20) + value(0x1002, 64u << 10));
        const QString path = QString::fromStdString(temp.Path() + "/" + fixture);
        QFile out(path);
        EXPECT_TRUE(out.open(QIODevice::WriteOnly));
        EXPECT_EQ(out.write(bytes), bytes.size());
        return path;
    };
    const auto account = std::make_shared<XEVDiscAccount>(uint64_t(64) << 20);
    {
        XEVVEKHelper helper;
        helper.account = account;
        int32_t frame = 0;
        ASSERT_EQ(helper.LoadImage(withLongValues("multi10.dcm"), frame), 1) << helper.statusText.toStdString();
        EXPECT_EQ(frame, 1);
        EXPECT_EQ(Memory(helper.GetFrame(0)), Expected("multi10.dcm", 0));
        const void* held = nullptr;
        EXPECT_EQ(helper.dicomInfo.get_length(0x0009, 0x1001), 2u << 20);
        EXPECT_FALSE(helper.dicomInfo.get_value_pointer(0x0009, 0x1001, held));
        EXPECT_TRUE(helper.dicomInfo.get_value_pointer(0x0009, 0x1002, held));
        EXPECT_EQ(helper.dicomInfo.get_length(0x0009, 0x1002), 64u << 10);
        EXPECT_GT(helper.AccountCharge(), 64u << 10);
        EXPECT_LT(helper.AccountCharge(), 1u << 20);
        EXPECT_EQ(account->Held(), helper.AccountCharge());
        // The next frame decodes by the header kept.
        ASSERT_EQ(helper.LoadImage(helper.filePath, frame), 1);
        EXPECT_EQ(Memory(helper.GetFrame(1)), Expected("multi10.dcm", 1));
    }
    EXPECT_EQ(account->Held(), 0u);
    {
        XEVVEKHelper helper;
        helper.account = account;
        int32_t frame = 0;
        ASSERT_EQ(helper.LoadImage(withLongValues("mono1.dcm"), frame), 1);
        EXPECT_EQ(Memory(helper.GetFrame(0)), Expected("mono1.dcm", 0));
        EXPECT_FALSE(helper.dicomInfo.loaded());
        EXPECT_EQ(account->Held(), 0u);
    }
    const auto full = std::make_shared<XEVDiscAccount>(1024);
    XEVVEKHelper helper;
    helper.account = full;
    int32_t frame = 0;
    ASSERT_EQ(helper.LoadImage(Fixture("multi10.dcm"), frame), 1);
    EXPECT_FALSE(helper.dicomInfo.loaded());
    EXPECT_EQ(full->Held(), 0u);
    EXPECT_EQ(full->Refusals(), 1u);
    // Let go, the header is read again for the next frame.
    ASSERT_EQ(helper.LoadImage(helper.filePath, frame), 1);
    EXPECT_EQ(Memory(helper.GetFrame(1)), Expected("multi10.dcm", 1));
}

TEST(ImageLoadTest, WindowDefaults)
{
    {
        XEVVEKHelper helper;
        int32_t frame = 0;
        ASSERT_EQ(helper.LoadImage(Fixture("window_pairs.dcm"), frame), 1);
        EXPECT_DOUBLE_EQ(helper.GetFrame(0)->windowCenter, 400);
        EXPECT_DOUBLE_EQ(helper.GetFrame(0)->windowWidth, 1500);
        EXPECT_DOUBLE_EQ(helper.GetFrame(0)->windowWidthDefault, 1500);
    }
    {
        // CR without window: from Bits Stored, not the values.
        XEVVEKHelper helper;
        FrameImageInfo* frame = LoadAndCompare(helper, "cr_bs10.dcm");
        ASSERT_NE(frame, nullptr);
        EXPECT_DOUBLE_EQ(frame->windowCenter, 512);
        EXPECT_DOUBLE_EQ(frame->windowWidth, 1024);
    }
    {
        // CR without Bits Stored: the delivered 16 bits.
        XEVVEKHelper helper;
        FrameImageInfo* frame = LoadAndCompare(helper, "cr_no_bs.dcm");
        ASSERT_NE(frame, nullptr);
        EXPECT_DOUBLE_EQ(frame->windowCenter, 32768);
        EXPECT_DOUBLE_EQ(frame->windowWidth, 65536);
    }
    for (const char* name : {"ct_s16.dcm", "all_negative.dcm"}) {
        XEVVEKHelper helper;
        FrameImageInfo* frame = LoadAndCompare(helper, name);
        ASSERT_NE(frame, nullptr);
        const std::vector<int16_t> values = Words(frame);
        const double lo = *std::min_element(values.begin(), values.end());
        const double hi = *std::max_element(values.begin(), values.end());
        EXPECT_DOUBLE_EQ(frame->windowWidth, hi - lo + 1) << name;
        EXPECT_DOUBLE_EQ(frame->windowCenter, lo + (hi - lo + 1) / 2) << name;
        EXPECT_LT(frame->windowCenterMin, 0) << name;
    }
}

TEST(ImageLoadTest, VoiLutCoversAllEntriesAndKeepsThePreLutValues)
{
    XEVVEKHelper helper;
    FrameImageInfo* frame = LoadAndCompare(helper, "voi_65536.dcm");
    ASSERT_NE(frame, nullptr);
    // The table runs 100 .. 32867: its range gives the window.
    EXPECT_DOUBLE_EQ(frame->windowWidth, 32767);
    EXPECT_DOUBLE_EQ(frame->windowCenter, 100 + 16384);
    // Before the LUT: entry v holds v / 2 + 100, so v = 2 x (out - 100) or one more.
    ASSERT_EQ(frame->probeBuffer.Size(), frame->Size());
    std::vector<uint16_t> before(frame->Size() / 2), after(frame->Size() / 2);
    std::memcpy(before.data(), frame->probeBuffer.Data(), frame->Size());
    std::memcpy(after.data(), frame->Data(), frame->Size());
    for (size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(after[i], before[i] / 2 + 100) << i;
    }
    EXPECT_EQ(frame->probe.data, frame->probeBuffer.Data());
}

// A table whose descriptor claims 65,536 entries where 10 words (3000 each) are held is left out
// as if the file had none, through the image's own load: the window is the file's own, or the
// range of the values 100..163 (rescaled by 2 and -10 where a modality LUT was refused), never
// one made from the table's words.
TEST(ImageLoadTest, RefusedLookupTableLeavesTheWindowAsWithoutIt)
{
    struct Case {
        const char* name;
        double centre, width;
        uint16_t first;
    };
    const Case cases[] = {{"voi_window.dcm", 40, 400, 100},
                          {"voi_range.dcm", 100 + 64 / 2.0, 64, 100},
                          {"modality_window.dcm", 40, 400, 190},
                          {"modality_range.dcm", 190 + 127 / 2.0, 127, 190}};
    for (const Case& c : cases) {
        ImageInfo image;
        image.SetFilePath(QStringLiteral(STUDY_TEST_DATA_DIR "/refused_luts/") + QString::fromUtf8(c.name));
        int32_t frame = 0;
        ASSERT_EQ(image.LoadImage(frame, XEVWindowHandle(), 1), 1) << c.name;
        std::lock_guard<PlatRecursiveLock> guard(image.GetLock());
        const FrameImageInfo* loaded = image.GetHelper()->GetFrame(0);
        ASSERT_NE(loaded, nullptr) << c.name;
        EXPECT_DOUBLE_EQ(loaded->windowCenter, c.centre) << c.name;
        EXPECT_DOUBLE_EQ(loaded->windowWidth, c.width) << c.name;
        uint16_t first = 0;
        std::memcpy(&first, loaded->Data(), 2);
        EXPECT_EQ(first, c.first) << c.name;
    }
}

TEST(ImageLoadTest, SmallSlopeKeepsTwoDecimals)
{
    XEVVEKHelper helper;
    FrameImageInfo* frame = LoadAndCompare(helper, "small_slope.dcm");
    ASSERT_NE(frame, nullptr);
    EXPECT_FLOAT_EQ(float(frame->rescaleSlope), 0.005f);
    EXPECT_DOUBLE_EQ(frame->rescaleIntercept, -100);
    EXPECT_EQ(helper.smallSlope, 1);
    // Memory holds 100 x value, rounded: the readout reads the stored values (unsigned, 16
    // bits) and rescales them with the file's own slope and intercept.
    EXPECT_EQ(frame->probe.factor, 0.005);
    EXPECT_EQ(frame->probe.offset, -100);
    EXPECT_EQ(frame->probe.isSigned, 0);
    EXPECT_EQ(frame->probe.bits, 16);
    ASSERT_NE(frame->probeBuffer.Data(), nullptr);
    EXPECT_EQ(frame->probe.data, frame->probeBuffer.Data());
}

TEST(ImageLoadTest, FailuresNameTheFileAndFrame)
{
    XEVVEKHelper helper;
    int32_t frame = 0;
    EXPECT_EQ(helper.LoadImage(Fixture("absent.dcm"), frame), 0);
    EXPECT_EQ(frame, -1);
    EXPECT_EQ(helper.statusCode, -2001);
    EXPECT_TRUE(helper.statusText.startsWith(GetMessageString(10005)));
    EXPECT_TRUE(helper.statusText.contains(QStringLiteral("absent.dcm")));

    // Not DICOM: the header cannot be read, its tags are unreadable.
    frame = 0;
    EXPECT_EQ(helper.LoadImage(Fixture("expected.txt"), frame), 0);
    EXPECT_EQ(helper.statusCode, -2002);
    EXPECT_EQ(helper.statusText,
              GetMessageString(10007) + QStringLiteral("\n      [") + Fixture("expected.txt") + QStringLiteral("]\n"));

    // Tags read, but pixels in an encoding the reader does not take: the image is unreadable.
    frame = 0;
    EXPECT_EQ(helper.LoadImage(Fixture("unknown_ts.dcm"), frame), 0);
    EXPECT_EQ(helper.statusCode, -2003) << helper.statusText.toStdString();
    EXPECT_EQ(helper.statusText, GetMessageString(10008) + QStringLiteral("\n      [") + Fixture("unknown_ts.dcm") +
                                     QStringLiteral("]\n"));

    // The codec refuses extended (SOF1) frames: the frame is named, counted from 1.
    frame = 0;
    EXPECT_EQ(helper.LoadImage(Fixture("jpeg_ee.dcm"), frame), 0);
    EXPECT_EQ(frame, -1);
    EXPECT_EQ(helper.statusCode, -2003);
    EXPECT_TRUE(helper.statusText.startsWith(GetMessageString(10008)));
    EXPECT_TRUE(helper.statusText.endsWith(QStringLiteral("[frame:1]"))) << helper.statusText.toStdString();

    int32_t count = 0;
    EXPECT_EQ(helper.CheckFrameCount(Fixture("expected.txt"), count), 0);
    EXPECT_EQ(helper.statusCode, -2002);
    EXPECT_TRUE(helper.statusText.startsWith(GetMessageString(10007)));
    EXPECT_EQ(helper.CheckFrameCount(Fixture("multi10.dcm"), count), 1);
    EXPECT_EQ(count, 10);
    EXPECT_EQ(helper.CheckFrameCount(Fixture("mono1.dcm"), count), 1);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(helper.CheckFrameCount(Fixture("absent.dcm"), count), 0);
    EXPECT_EQ(helper.statusCode, -2001);
}

namespace {

// Refuses every frame memory.
void* RefuseImageMemory(size_t)
{
    return nullptr;
}

// Once the frame memory is granted, the library's large allocations are refused: the RLE
// reader's frame buffer, made in the run; the engines, all small, are still made.
std::atomic<bool> refuseLarge{false};

void* RefuseLargeWhenArmed(uint32_t bytes)
{
    return refuseLarge.load() && bytes >= 4096 ? nullptr : std::malloc(bytes);
}

void* GrantAndArm(size_t bytes)
{
    refuseLarge = true;
    return std::malloc(bytes);
}

}   // namespace

TEST(ImageLoadTest, RunFailuresKeepNoFrameAndMarkMemoryShortage)
{
    XEVLoadState& state = GetLoadState();
    // Frame memory, or the buffer of stored values a fractional rescale keeps, refused: out
    // of memory, the frame named.
    for (const char* name : {"mono1.dcm", "small_slope.dcm"}) {
        SCOPED_TRACE(name);
        XEVVEKHelper helper;
        int32_t frame = 0;
        XEVSetImageAllocateFunction(RefuseImageMemory);
        EXPECT_EQ(helper.LoadImage(Fixture(name), frame), 0);
        XEVSetImageAllocateFunction(nullptr);
        EXPECT_EQ(frame, -1);
        EXPECT_EQ(helper.statusCode, -2);
        EXPECT_TRUE(helper.statusText.startsWith(GetMessageString(10015)));
        EXPECT_TRUE(helper.statusText.endsWith(QStringLiteral("[frame:1]")));
        EXPECT_TRUE(helper.frames.empty());
        // The same helper loads it once memory is back.
        frame = 0;
        EXPECT_EQ(helper.LoadImage(Fixture(name), frame), 1);
        EXPECT_EQ(helper.statusCode, 0);
    }
    {
        // The library ran out of memory during the run: memory shortage.
        state.memoryShort = 0;
        state.memoryShortStudy = 0;
        ImageInfo image;
        image.filePath = Fixture("rle_ct_gdcm.dcm");
        int32_t frame = 0;
        refuseLarge = false;
        XEVSetVekAllocateFunction(RefuseLargeWhenArmed);
        XEVSetImageAllocateFunction(GrantAndArm);
        EXPECT_EQ(image.LoadImage(frame, XEVWindowHandle(), 1), 0);
        XEVSetImageAllocateFunction(nullptr);
        XEVSetVekAllocateFunction(nullptr);
        EXPECT_EQ(frame, -1);
        XEVVEKHelper* helper = image.GetHelper();
        EXPECT_EQ(helper->statusCode, -2);
        EXPECT_TRUE(helper->statusText.startsWith(GetMessageString(10017))) << helper->statusText.toStdString();
        EXPECT_TRUE(helper->statusText.endsWith(QStringLiteral("[frame:1]")));
        EXPECT_EQ(state.memoryShort.load(), 1);
        EXPECT_EQ(state.memoryShortStudy.load(), 1);
        EXPECT_TRUE(helper->frames.empty());
        state.memoryShort = 0;
        state.memoryShortStudy = 0;
    }
    {
        // Pixel data cut short: the run fails with a read error, not memory.
        XEVVEKHelper helper;
        int32_t frame = 0;
        EXPECT_EQ(helper.LoadImage(Fixture("truncated.dcm"), frame), 0);
        EXPECT_EQ(helper.statusCode, -2011);
        EXPECT_TRUE(helper.statusText.startsWith(GetMessageString(10018)));
        EXPECT_TRUE(helper.statusText.endsWith(QStringLiteral("[frame:1]")));
        EXPECT_TRUE(helper.frames.empty());
    }
    {
        // No LUT engine for one-bit samples: the message alone, no path or frame.
        XEVVEKHelper helper;
        int32_t frame = 0;
        EXPECT_EQ(helper.LoadImage(Fixture("bits1_lut.dcm"), frame), 0);
        EXPECT_EQ(frame, -1);
        EXPECT_EQ(helper.statusCode, -2006);
        EXPECT_EQ(helper.statusText, GetMessageString(10022));
    }
}

namespace {
bool NoMemory()
{
    PlatMemoryStatus status;
    status.availablePhysical = 1024;
    status.availableVirtual = 1024;
    return IsMemoryAvailable(status, 0);
}
}   // namespace

TEST(ImageLoadTest, ImageInfoRefusesWithoutMemoryUnlessForced)
{
    // The view learns of every finished load, refused ones included, from the posted report.
    XEVMessageReceiver view;
    std::vector<XEVWParam> reports;
    view.SetHandler(WM_XEV_IMAGE_LOADED, [&](XEVWParam image, XEVLParam) -> XEVResult {
        reports.push_back(image);
        return 0;
    });
    const auto delivered = [&] {
        QCoreApplication::sendPostedEvents();
        std::vector<XEVWParam> got;
        got.swap(reports);
        return got;
    };

    XEVLoadState& state = GetLoadState();
    state.memoryShort = 0;
    state.memoryShortStudy = 0;
    ImageInfo image;
    const std::vector<XEVWParam> thisImage{reinterpret_cast<XEVWParam>(&image)};
    int32_t frame = 0;
    EXPECT_EQ(image.LoadImage(frame, view.Handle(), 0), 0);   // empty path
    EXPECT_EQ(image.GetHelper(), nullptr);
    EXPECT_TRUE(delivered().empty());

    image.filePath = Fixture("mono1.dcm");
    XEVSetMemoryTest(NoMemory);
    EXPECT_EQ(image.LoadImage(frame, view.Handle(), 0), 0);
    ASSERT_NE(image.GetHelper(), nullptr);
    EXPECT_EQ(image.GetHelper()->statusCode, -2);
    EXPECT_EQ(state.memoryShort.load(), 1);
    EXPECT_EQ(state.memoryShortStudy.load(), 1);
    EXPECT_EQ(image.GetHelper()->GetFrame(0), nullptr);
    EXPECT_EQ(delivered(), thisImage);

    frame = 0;
    EXPECT_EQ(image.LoadImage(frame, view.Handle(), 1), 1);
    XEVSetMemoryTest(nullptr);
    EXPECT_EQ(delivered(), thisImage);
    EXPECT_EQ(image.loadedPath, image.filePath);
    EXPECT_EQ(Memory(image.GetHelper()->GetFrame(0)), Expected("mono1.dcm", 0));
    state.memoryShort = 0;
    state.memoryShortStudy = 0;
}

namespace {

// Requests made of the medium for the file the test watches.
std::string watchedPath;
std::atomic<int> watchedReads{0};
void CountWatchedReads(const std::string& path, int64_t, int32_t)
{
    watchedReads += path == watchedPath ? 1 : 0;
}

}   // namespace

// A file that is no DICOM file, and a file of ten RLE frames (dcmcrle) whose last is broken:
// what failed is not asked of the medium again, forced (as the job worker's first images are)
// or not, and the load answers with the failure kept, posting its notice; other frames load.
TEST(ImageLoadTest, WhatFailedIsNotReadAgainForcedOrNot)
{
    XEVMessageReceiver view;
    int notices = 0;
    view.SetHandler(WM_XEV_IMAGE_LOADED, [&](XEVWParam, XEVLParam) -> XEVResult {
        ++notices;
        return 0;
    });
    PlatTempFolder temp;
    const std::string broken = temp.Path() + "/rle.dcm";
    const std::string command = "dcmcrle " + Fixture("multi10.dcm").toStdString() + " " + broken;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    {
        // The last fragment's RLE header claims more segments than there can be.
        std::ifstream in(broken, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t item = bytes.rfind(std::string("\xFE\xFF\x00\xE0", 4));
        ASSERT_NE(item, std::string::npos);
        bytes.replace(item + 8, 4, "\xFF\xFF\xFF\xFF");
        std::ofstream(broken, std::ios::binary | std::ios::trunc) << bytes;
    }
    XEVSetReadObserver(CountWatchedReads);
    struct Case {
        QString path;
        int32_t failing;
        int32_t status;
    };
    for (const Case& c : {Case{Fixture("expected.txt"), 0, -2002}, Case{QString::fromStdString(broken), 9, 0}}) {
        SCOPED_TRACE(c.path.toStdString());
        watchedPath = c.path.toStdString();
        watchedReads = 0;
        notices = 0;
        ImageInfo image;
        image.filePath = c.path;
        int32_t frame = 3;
        if (c.failing > 0) {
            // A frame before the cut loads, and the file's header with it.
            EXPECT_EQ(image.LoadImage(frame, view.Handle(), 0), 1);
        }
        frame = c.failing;
        EXPECT_EQ(image.LoadImage(frame, view.Handle(), 0), 0);
        const int reads = watchedReads.load();
        ASSERT_GT(reads, 0);
        ASSERT_NE(image.GetHelper(), nullptr);
        const QString failure = image.GetHelper()->statusText;
        const int32_t status = image.GetHelper()->statusCode;
        EXPECT_TRUE(c.status != 0 ? status == c.status : status != 0) << failure.toStdString();
        if (c.failing > 0) {
            // Another frame loads, and clears the helper's status.
            frame = 5;
            EXPECT_EQ(image.LoadImage(frame, view.Handle(), 0), 1);
            EXPECT_EQ(image.GetHelper()->statusCode, 0);
        }
        const int readsBefore = watchedReads.load();
        for (const int32_t forced : {0, 1}) {
            frame = c.failing;
            EXPECT_EQ(image.LoadImage(frame, view.Handle(), forced), 0) << forced;
            EXPECT_EQ(frame, -1);
            EXPECT_EQ(image.GetHelper()->statusCode, status) << forced;
            EXPECT_EQ(image.GetHelper()->statusText, failure) << forced;
        }
        EXPECT_EQ(watchedReads.load(), readsBefore);
        QCoreApplication::sendPostedEvents();
        EXPECT_EQ(notices, c.failing > 0 ? 5 : 3);
    }
    XEVSetReadObserver(nullptr);
}

TEST(ImageLoadTest, MemoryPassIsReusedOnlyWithRoomToSpare)
{
    constexpr uint64_t kMiB = uint64_t{1} << 20;
    const PlatMemoryStatus plenty{uint64_t{8} << 30, uint64_t{8} << 30};
    EXPECT_TRUE(XEVMemoryPassReusable(plenty, kXEVMaxProcessMemory - kXEVMemoryReuseMargin));
    // Still a pass, but a few images more could cross the limit before the next reading.
    EXPECT_TRUE(IsMemoryAvailable(plenty, kXEVMaxProcessMemory - kXEVMemoryReuseMargin + 1));
    EXPECT_FALSE(XEVMemoryPassReusable(plenty, kXEVMaxProcessMemory - kXEVMemoryReuseMargin + 1));
    EXPECT_FALSE(XEVMemoryPassReusable(plenty, kXEVMaxProcessMemory + 1));
    const PlatMemoryStatus tight{50 * kMiB + kXEVMemoryReuseMargin, 0};
    EXPECT_TRUE(IsMemoryAvailable(tight, 0));
    EXPECT_FALSE(XEVMemoryPassReusable(tight, 0));
    EXPECT_TRUE(XEVMemoryPassReusable(PlatMemoryStatus{tight.availablePhysical + 1, 0}, 0));

    // A reused pass never hides a test substituted after it.
    ASSERT_TRUE(XEVRunMemoryTest());
    XEVSetMemoryTest(NoMemory);
    EXPECT_FALSE(XEVRunMemoryTest());
    XEVSetMemoryTest(nullptr);
    EXPECT_TRUE(XEVRunMemoryTest());
}

TEST(ImageLoadTest, ViewWaitsForTheDecodeInProgress)
{
    XEVVEKHelper helper;
    int32_t frame = 0;
    ASSERT_EQ(helper.LoadImage(Fixture("multi10.dcm"), frame), 1);
    // A loader holds the helper's lock for a whole decode; the view's look-ups wait for it
    // instead of reading the frame map while a frame goes in.
    std::unique_lock<PlatRecursiveLock> decoding(helper.lock);
    std::atomic<int32_t> answered{0};
    std::thread view([&] {
        answered = helper.IsFrameLoaded(0) ? 1 : 2;
        helper.NextFrame();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(answered.load(), 0);
    decoding.unlock();
    view.join();
    EXPECT_EQ(answered.load(), 1);
}
