#pragma once

// Streams built byte by byte, a counting heap that can refuse a chosen allocation, and a decoder
// over memory, shared by the codec tests.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "jpeg/jpegdecode.h"
#include "jpeg/jpegdecoder.h"
#include "processor/kernel_dispatch.h"

using Bytes = std::vector<uint8_t>;

struct TestHeap {
    int64_t live = 0;
    int32_t calls = 0;
    int32_t refuse_at = -1;   // the call (counted from 0) that is refused
    bool refused = false;
    uint32_t largest = 0;   // the largest size asked for
};

inline void* TestAlloc(void* user, uint32_t size)
{
    auto* heap = static_cast<TestHeap*>(user);
    heap->largest = size > heap->largest ? size : heap->largest;
    if (heap->calls++ == heap->refuse_at) {
        heap->refused = true;
        return nullptr;
    }
    void* memory = std::malloc(size == 0 ? 1 : size);
    heap->live += memory != nullptr ? 1 : 0;
    return memory;
}

inline void TestFree(void* user, void* pointer)
{
    static_cast<TestHeap*>(user)->live -= 1;
    std::free(pointer);
}

inline const jpeg_allocator kTestAllocator{&TestAlloc, &TestFree};

// A decoder reading `bytes` (kept alive by the caller) through the built-in memory source.
inline jpeg_decoder* OpenBytes(const Bytes& bytes, TestHeap* heap)
{
    jpeg_decoder* decoder = jpeg_decoder_create(&kTestAllocator, heap);
    if (decoder == nullptr) {
        return nullptr;
    }
    jpeg_source source{};
    if (jpeg_mem_source_create(decoder, bytes.data(), bytes.size(), &source) < 1) {
        jpeg_decoder_destroy(decoder);
        return nullptr;
    }
    jpeg_set_source(decoder, &source);
    return decoder;
}

inline void Put16(Bytes& out, uint32_t value)
{
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

inline void Marker(Bytes& out, uint8_t code)
{
    out.push_back(0xFF);
    out.push_back(code);
}

// Marker, length (payload + 2) and payload.
inline void Segment(Bytes& out, uint8_t code, const Bytes& payload)
{
    Marker(out, code);
    Put16(out, static_cast<uint32_t>(payload.size() + 2));
    out.insert(out.end(), payload.begin(), payload.end());
}

struct Component {
    uint8_t id;
    uint8_t sampling;   // H << 4 | V
    uint8_t table;
};

inline void Frame(Bytes& out, uint8_t code, uint8_t precision, uint16_t lines, uint16_t samples,
                  const std::vector<Component>& components)
{
    Bytes payload{precision};
    Put16(payload, lines);
    Put16(payload, samples);
    payload.push_back(static_cast<uint8_t>(components.size()));
    for (const Component& c : components) {
        payload.insert(payload.end(), {c.id, c.sampling, c.table});
    }
    Segment(out, code, payload);
}

// The standard luminance DC table (counts and symbols 0..11).
inline const uint8_t kLumaDcCounts[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
inline const uint8_t kLumaDcValues[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
// The standard luminance quantisation table in zigzag order.
inline const uint8_t kLumaQuantZigzag[64] = {
    16, 11,  12,  14,  12,  10,  16,  14,  13,  14, 18,  17, 16, 19, 24,  40,  26,  24,  22, 22, 24,  49,
    35, 37,  29,  40,  58,  51,  61,  60,  57,  51, 56,  55, 64, 72, 92,  78,  64,  68,  87, 81, 103, 95,
    98, 112, 121, 109, 103, 104, 113, 120, 100, 99, 101, 92, 77, 89, 122, 104, 101, 103, 99, 99,
};

inline void HuffmanTable(Bytes& out, uint8_t kind, const uint8_t counts[16], const Bytes& values)
{
    Bytes payload{kind};
    payload.insert(payload.end(), counts, counts + 16);
    payload.insert(payload.end(), values.begin(), values.end());
    Segment(out, 0xC4, payload);
}

inline void LumaDc(Bytes& out, uint8_t id = 0)
{
    HuffmanTable(out, id, kLumaDcCounts, Bytes(kLumaDcValues, kLumaDcValues + 12));
}

// An AC table of one 1-bit code (end of block), enough for headers.
inline void SmallAc(Bytes& out, uint8_t id = 0)
{
    const uint8_t counts[16] = {1};
    HuffmanTable(out, static_cast<uint8_t>(0x10 | id), counts, Bytes{0});
}

inline void Quant(Bytes& out, uint8_t id = 0, uint8_t fill = 0)
{
    Bytes payload{id};
    for (uint8_t q : kLumaQuantZigzag) {
        payload.push_back(fill != 0 ? fill : q);
    }
    Segment(out, 0xDB, payload);
}

struct ScanComponent {
    uint8_t id;
    uint8_t tables;   // Td << 4 | Ta
};

inline void Scan(Bytes& out, const std::vector<ScanComponent>& components, uint8_t ss, uint8_t se,
                 uint8_t approximation)
{
    Bytes payload{static_cast<uint8_t>(components.size())};
    for (const ScanComponent& c : components) {
        payload.insert(payload.end(), {c.id, c.tables});
    }
    payload.insert(payload.end(), {ss, se, approximation});
    Segment(out, 0xDA, payload);
}

inline Bytes ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

#ifdef JPEG_TEST_DATA_DIR
inline Bytes ReadData(const std::string& name)
{
    return ReadWholeFile(std::string(JPEG_TEST_DATA_DIR) + "/" + name);
}
#endif

// Offset of the n-th (from 0) marker FF `code` at or after `from`; the size when there is none.
inline size_t FindMarker(const Bytes& bytes, uint8_t code, size_t from = 2, int n = 0)
{
    for (size_t i = from; i + 1 < bytes.size(); ++i) {
        if (bytes[i] == 0xFF && bytes[i + 1] == code && n-- == 0) {
            return i;
        }
    }
    return bytes.size();
}

// The first entropy-coded byte after the first scan header.
inline size_t ScanStart(const Bytes& bytes)
{
    const size_t sos = FindMarker(bytes, 0xDA);
    return sos + 2 + (static_cast<size_t>(bytes[sos + 2]) << 8 | bytes[sos + 3]);
}

inline Bytes Patched(Bytes bytes, size_t at, uint8_t value)
{
    bytes[at] = value;
    return bytes;
}

// The fewest bytes of entropy-coded data the first scan can hold: a bit for each block of its
// components (DCT, each component's blocks from its own size) or for each sample (lossless).
// Shorter data is refused at the start.
inline size_t FirstScanFloorBytes(const Bytes& bytes)
{
    size_t sof = bytes.size();
    for (uint8_t code : {0xC0, 0xC1, 0xC2, 0xC3}) {
        sof = std::min(sof, FindMarker(bytes, code));
    }
    const size_t sos = FindMarker(bytes, 0xDA);
    if (sof + 10 > bytes.size() || sos + 5 > bytes.size()) {
        return 0;
    }
    const bool lossless = bytes[sof + 1] == 0xC3;
    const uint64_t lines = static_cast<uint64_t>(bytes[sof + 5]) << 8 | bytes[sof + 6];
    const uint64_t samples = static_cast<uint64_t>(bytes[sof + 7]) << 8 | bytes[sof + 8];
    const size_t nf = bytes[sof + 9];
    uint64_t hmax = 1;
    uint64_t vmax = 1;
    for (size_t c = 0; c < nf; ++c) {
        hmax = std::max<uint64_t>(hmax, bytes[sof + 11 + 3 * c] >> 4);
        vmax = std::max<uint64_t>(vmax, bytes[sof + 11 + 3 * c] & 15);
    }
    uint64_t units = 0;
    for (size_t k = 0; k < bytes[sos + 4]; ++k) {
        for (size_t c = 0; c < nf; ++c) {
            if (bytes[sof + 10 + 3 * c] != bytes[sos + 5 + 2 * k]) {
                continue;
            }
            const uint64_t h = nf == 1 ? hmax : bytes[sof + 11 + 3 * c] >> 4;
            const uint64_t v = nf == 1 ? vmax : bytes[sof + 11 + 3 * c] & 15;
            const uint64_t x = (samples * h + hmax - 1) / hmax;
            const uint64_t y = (lines * v + vmax - 1) / vmax;
            units += lossless ? x * y : ((x + 7) / 8) * ((y + 7) / 8);
        }
    }
    return static_cast<size_t>((units + 7) / 8);
}

// Restores the machine's level when a test forced another.
struct LevelGuard {
    int32_t saved = dispatch_level.load();
    ~LevelGuard() { dispatch_set_level(saved); }
};

// A whole decode through the public calls: every row's status and the samples (bytes up to
// 8 bits, little-endian words above).
struct Decoded {
    jpeg_status start = 0;
    std::vector<jpeg_status> rows;
    Bytes pixels;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t channels = 0;
    int32_t sample_bits = 0;
    bool separate = false;
};

inline Decoded DecodeAll(const Bytes& bytes, uint32_t scale = 1, TestHeap* heap = nullptr)
{
    TestHeap local;
    TestHeap* used = heap != nullptr ? heap : &local;
    Decoded result;
    jpeg_decoder* decoder = OpenBytes(bytes, used);
    if (decoder == nullptr) {
        return result;
    }
    result.start = jpeg_read_header(decoder, JPEG_COLOR_NONE, static_cast<uint32_t>(bytes.size()), nullptr);
    result.separate = jpeg_is_separate_scan(decoder);
    if (result.start >= 1 && scale != 1) {
        result.start = jpeg_set_scale(decoder, scale);
    }
    if (result.start >= 1) {
        result.start = jpeg_start_decode(decoder);
    }
    if (result.start >= 1) {
        result.channels = static_cast<uint32_t>(jpeg_color_code_channels(jpeg_output_color_code(decoder)));
        result.width = jpeg_width(decoder);
        result.height = jpeg_height(decoder);
        result.sample_bits = decoder->sample_bits;
        const size_t row = static_cast<size_t>(result.width) * result.channels * (result.sample_bits > 8 ? 2 : 1);
        result.pixels.assign(row * result.height, 0);
        for (uint32_t y = 0; y < result.height; ++y) {
            result.rows.push_back(jpeg_decode_row(decoder, result.pixels.data() + row * y));
        }
    }
    jpeg_decoder_destroy(decoder);
    EXPECT_EQ(used->live, 0);
    return result;
}

// Every row clean, and within `max` (`mean` on average) of the peer's samples over our size;
// the peer's rows are peer_width pixels long (its reduced sizes round up).
inline void ExpectNearPeer(const Decoded& got, const Bytes& expected, uint32_t peer_width, int max, double mean,
                           const std::string& what)
{
    ASSERT_EQ(got.start, JPEG_OK) << what;
    for (const jpeg_status row : got.rows) {
        ASSERT_EQ(row, JPEG_OK) << what;
    }
    const size_t ch = got.channels;
    ASSERT_GE(expected.size(), static_cast<size_t>(got.height) * peer_width * ch) << what;
    int worst = 0;
    double sum = 0;
    for (uint32_t y = 0; y < got.height; ++y) {
        for (size_t x = 0; x < got.width * ch; ++x) {
            const int d =
                std::abs(static_cast<int>(got.pixels[y * got.width * ch + x]) - expected[y * peer_width * ch + x]);
            worst = d > worst ? d : worst;
            sum += d;
        }
    }
    EXPECT_LE(worst, max) << what;
    EXPECT_LE(sum / static_cast<double>(got.pixels.size()), mean) << what;
}

// A smooth image with edges and noise, like a photograph.
inline std::vector<uint8_t> Picture(int width, int height, int channels)
{
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * channels);
    uint32_t noise = 12345;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < channels; ++c) {
                noise = noise * 1103515245u + 12345u;
                const double v = 128 + 90 * std::sin(x * 0.05 + c) * std::cos(y * 0.037 - c) +
                                 ((x / 37 + y / 23) % 2 != 0 ? 25 : -25) + static_cast<int>(noise >> 28) - 8;
                pixels[(static_cast<size_t>(y) * width + x) * channels + c] = static_cast<uint8_t>(v < 0     ? 0
                                                                                                   : v > 255 ? 255
                                                                                                             : v);
            }
        }
    }
    return pixels;
}

// Counts the start's allocations (and the first row's, given its size in bytes), then refuses
// each in turn: -1 and nothing left behind.
inline void ExpectEachStartAllocationRefused(const Bytes& bytes, size_t first_row = 0)
{
    Bytes line(first_row);
    const auto start = [&](jpeg_decoder* decoder) {
        jpeg_status status = jpeg_start_decode(decoder);
        return status >= 1 && first_row != 0 ? jpeg_decode_row(decoder, line.data()) : status;
    };
    TestHeap counting;
    jpeg_decoder* decoder = OpenBytes(bytes, &counting);
    ASSERT_GE(jpeg_read_header(decoder, JPEG_COLOR_NONE, static_cast<uint32_t>(bytes.size()), nullptr), 1);
    const int32_t before = counting.calls;
    ASSERT_EQ(start(decoder), JPEG_OK);
    const int32_t after = counting.calls;
    jpeg_decoder_destroy(decoder);
    ASSERT_GT(after, before);
    for (int32_t refuse = before; refuse < after; ++refuse) {
        TestHeap heap;
        heap.refuse_at = refuse;
        jpeg_decoder* d = OpenBytes(bytes, &heap);
        ASSERT_GE(jpeg_read_header(d, JPEG_COLOR_NONE, static_cast<uint32_t>(bytes.size()), nullptr), 1);
        EXPECT_EQ(start(d), JPEG_ERR_MEMORY) << refuse;
        jpeg_decoder_destroy(d);
        EXPECT_EQ(heap.live, 0) << refuse;
    }
}
