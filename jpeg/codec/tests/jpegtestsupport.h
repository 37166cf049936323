#pragma once

// Streams built byte by byte, a counting heap that can refuse a chosen allocation, and a decoder
// over memory, shared by the codec tests.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "jpeg/jpegdecode.h"
#include "jpeg/jpegdecoder.h"

using Bytes = std::vector<uint8_t>;

struct TestHeap {
    int64_t live = 0;
    int32_t calls = 0;
    int32_t refuse_at = -1;   // the call (counted from 0) that is refused
    bool refused = false;
};

inline void* TestAlloc(void* user, uint32_t size)
{
    auto* heap = static_cast<TestHeap*>(user);
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
    16, 11, 12, 14, 12, 10, 16, 14, 13, 14, 18, 17, 16, 19, 24, 40, 26, 24, 22, 22, 24, 49,
    35, 37, 29, 40, 58, 51, 61, 60, 57, 51, 56, 55, 64, 72, 92, 78, 64, 68, 87, 81, 103, 95,
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
                pixels[(static_cast<size_t>(y) * width + x) * channels + c] =
                    static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
            }
        }
    }
    return pixels;
}

// Counts the start's allocations, then refuses each in turn: -1 and nothing left behind.
inline void ExpectEachStartAllocationRefused(const Bytes& bytes)
{
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
