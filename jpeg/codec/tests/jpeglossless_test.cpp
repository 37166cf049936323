#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "jpeg/jpegdecode.h"
#include "jpegtestsupport.h"

namespace {

struct Decoded {
    jpeg_status start = 0;
    std::vector<jpeg_status> rows;
    Bytes pixels;   // bytes for 8-bit samples, little-endian 16-bit samples otherwise
    int32_t sample_bits = 0;
};

Decoded DecodeAll(const Bytes& bytes, TestHeap* heap)
{
    Decoded result;
    jpeg_decoder* decoder = OpenBytes(bytes, heap);
    if (decoder == nullptr) {
        return result;
    }
    result.start = jpeg_read_header(decoder, JPEG_COLOR_NONE, static_cast<uint32_t>(bytes.size()), nullptr);
    if (result.start >= 1) {
        result.start = jpeg_start_decode(decoder);
    }
    if (result.start >= 1) {
        result.sample_bits = decoder->sample_bits;
        const size_t line = static_cast<size_t>(decoder->width) * decoder->component_count *
                            (decoder->sample_bits > 8 ? 2 : 1);
        Bytes row(line);
        for (uint32_t y = 0; y < decoder->height; ++y) {
            result.rows.push_back(jpeg_decode_row(decoder, row.data()));
            result.pixels.insert(result.pixels.end(), row.begin(), row.end());
        }
    }
    jpeg_decoder_destroy(decoder);
    return result;
}

std::string DataPath(const std::string& name)
{
    return std::string(JPEG_TEST_DATA_DIR) + "/" + name;
}

// Replaces the n-th byte of the entropy data after the scan header with `value`.
Bytes DamageScan(Bytes bytes, size_t offset, uint8_t value)
{
    for (size_t i = 0; i + 3 < bytes.size(); ++i) {
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xDA) {
            const size_t data = i + 2 + (static_cast<size_t>(bytes[i + 2]) << 8 | bytes[i + 3]);
            bytes[data + offset] = value;
            break;
        }
    }
    return bytes;
}

}  // namespace

// Every lossless stream that dcmcjpeg wrote: the samples dcmdjpeg (and, where it takes the file,
// gdcmconv) decodes, including the point transform's left shift; 8-bit streams as bytes.
TEST(JpegLossless, FixturesEqualDcmdjpeg)
{
    int32_t checked = 0;
    for (const auto& entry : std::filesystem::directory_iterator(JPEG_TEST_DATA_DIR)) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".jpg" || name.rfind("dcmtk_lossless_", 0) != 0) {
            continue;
        }
        SCOPED_TRACE(name);
        const Bytes expected = ReadWholeFile(DataPath(name.substr(0, name.size() - 4) + ".raw"));
        ASSERT_FALSE(expected.empty());
        TestHeap heap;
        const Decoded decoded = DecodeAll(ReadWholeFile(entry.path().string()), &heap);
        ASSERT_EQ(decoded.start, JPEG_OK);
        for (const jpeg_status status : decoded.rows) {
            EXPECT_EQ(status, JPEG_OK);
        }
        EXPECT_EQ(decoded.pixels, expected);
        EXPECT_EQ(heap.live, 0);
        ++checked;
    }
    EXPECT_GE(checked, 26);
}

TEST(JpegLossless, SampleSizeFollowsPrecision)
{
    TestHeap heap;
    EXPECT_EQ(DecodeAll(ReadWholeFile(DataPath("dcmtk_lossless_bits8.jpg")), &heap).sample_bits, 8);
    EXPECT_EQ(DecodeAll(ReadWholeFile(DataPath("dcmtk_lossless_bits9.jpg")), &heap).sample_bits, 16);
    EXPECT_EQ(DecodeAll(ReadWholeFile(DataPath("dcmtk_lossless_bits2.jpg")), &heap).sample_bits, 8);
}

// 12 bits with Al 2: 16-bit samples, each a multiple of 4.
TEST(JpegLossless, PointTransformShiftsLeft)
{
    TestHeap heap;
    const Decoded decoded = DecodeAll(ReadWholeFile(DataPath("dcmtk_lossless_pt2_12.jpg")), &heap);
    ASSERT_EQ(decoded.start, JPEG_OK);
    ASSERT_EQ(decoded.sample_bits, 16);
    bool any = false;
    for (size_t i = 0; i + 1 < decoded.pixels.size(); i += 2) {
        const uint32_t sample = decoded.pixels[i] | decoded.pixels[i + 1] << 8;
        EXPECT_EQ(sample % 4, 0u);
        any = any || sample != 0;
    }
    EXPECT_TRUE(any);
}

// A row the kernel finds damaged comes out as bytes 128 with the warning, and decoding goes on
// to the last row.
TEST(JpegLossless, DamagedRowIsFilledAndDecodingGoesOn)
{
    for (const char* name : {"dcmtk_lossless_sv1_12.jpg", "dcmtk_lossless_sv1_8.jpg", "dcmtk_lossless_sv1_rgb.jpg"}) {
        SCOPED_TRACE(name);
        // FF D0 inside the data: a marker cuts the first row short.
        Bytes bytes = DamageScan(ReadWholeFile(DataPath(name)), 2, 0xFF);
        bytes = DamageScan(bytes, 3, 0xD0);
        TestHeap heap;
        const Decoded decoded = DecodeAll(bytes, &heap);
        ASSERT_EQ(decoded.start, JPEG_OK);
        ASSERT_FALSE(decoded.rows.empty());
        EXPECT_EQ(decoded.rows.front(), JPEG_WARN_DAMAGED_DATA);
        const size_t line = decoded.pixels.size() / decoded.rows.size();
        for (size_t i = 0; i < line; ++i) {
            EXPECT_EQ(decoded.pixels[i], 128);
        }
        EXPECT_EQ(heap.live, 0);
    }
}

// Truncated anywhere: every row is handed out with a result, nothing is read past the data.
TEST(JpegLossless, TruncatedStreamsEndCleanly)
{
    const Bytes whole = ReadWholeFile(DataPath("dcmtk_lossless_sv1_rgb.jpg"));
    for (size_t cut = whole.size() / 2; cut < whole.size(); cut += 37) {
        const Bytes bytes(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(cut));
        TestHeap heap;
        const Decoded decoded = DecodeAll(bytes, &heap);
        EXPECT_EQ(decoded.start, JPEG_OK);
        EXPECT_EQ(decoded.rows.back(), JPEG_WARN_DAMAGED_DATA);
        EXPECT_EQ(heap.live, 0);
    }
}

// Several components not all sampled 1 x 1 would be decoded as garbage: refused at the start.
TEST(JpegLossless, SubsampledComponentsRefused)
{
    Bytes bytes = ReadWholeFile(DataPath("dcmtk_lossless_sv1_rgb.jpg"));
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xC3) {
            bytes[i + 11] = 0x21;   // first component H 2
            break;
        }
    }
    TestHeap heap;
    EXPECT_EQ(DecodeAll(bytes, &heap).start, JPEG_ERR_UNSUPPORTED);
    EXPECT_EQ(heap.live, 0);
}

// Each allocation of the start refused in turn: -1, and nothing is left behind.
TEST(JpegLossless, RefusedAllocationsOfTheStart)
{
    for (const char* name : {"dcmtk_lossless_sv1_12.jpg", "dcmtk_lossless_sv1_rgb.jpg"}) {
        SCOPED_TRACE(name);
        const Bytes bytes = ReadWholeFile(DataPath(name));
        TestHeap counting;
        jpeg_decoder* decoder = OpenBytes(bytes, &counting);
        ASSERT_GE(jpeg_read_header(decoder, JPEG_COLOR_NONE, static_cast<uint32_t>(bytes.size()), nullptr), 1);
        const int32_t before = counting.calls;
        ASSERT_EQ(jpeg_start_decode(decoder), JPEG_OK);
        const int32_t after = counting.calls;
        jpeg_decoder_destroy(decoder);
        ASSERT_GT(after, before);
        for (int32_t refuse = before; refuse < after; ++refuse) {
            TestHeap heap;
            heap.refuse_at = refuse;
            jpeg_decoder* d = OpenBytes(bytes, &heap);
            ASSERT_GE(jpeg_read_header(d, JPEG_COLOR_NONE, static_cast<uint32_t>(bytes.size()), nullptr), 1);
            EXPECT_EQ(jpeg_start_decode(d), JPEG_ERR_MEMORY) << refuse;
            jpeg_decoder_destroy(d);
            EXPECT_EQ(heap.live, 0);
        }
    }
}
