#include <gtest/gtest.h>

#include <cmath>

#include "jpeg/jpegdecoder.h"
#include "jpeg/jpegtables.h"
#include "jpegtestsupport.h"

namespace {

struct Decoder {
    TestHeap heap;
    jpeg_decoder* decoder = jpeg_decoder_create(&kTestAllocator, &heap);
    ~Decoder()
    {
        jpeg_decoder_destroy(decoder);
        EXPECT_EQ(heap.live, 0);
    }
};

// Decodes the code `bits` (MSB first, `length` bits) the way the block decoders do.
int32_t Decode(const jpeg_huff_table& table, uint32_t bits, int32_t length)
{
    const uint32_t window = length >= 8 ? bits >> (length - 8) : bits << (8 - length);
    const jpeg_huff_lookahead entry = table.lookahead[window & 0xFF];
    if (entry.length > 0 && entry.length <= 8) {
        return entry.length == length ? static_cast<int32_t>(entry.symbol) : -1;
    }
    for (int32_t k = 8; k < 16 && k < length; ++k) {
        const int32_t code = static_cast<int32_t>(bits >> (length - k - 1));
        if (code <= table.maxcode[k]) {
            return k + 1 == length ? table.values[table.cumulative[k] - table.mincode[k] + code] : -1;
        }
    }
    return -1;
}

}   // namespace

TEST(Huffman, StandardLuminanceDcTable)
{
    Decoder d;
    jpeg_huff_table table{};
    ASSERT_EQ(DeriveHuffDecodeTable(d.decoder, &table, kLumaDcCounts, kLumaDcValues, 17), JPEG_OK);
    ASSERT_EQ(jpeg_build_lookahead(d.decoder, &table, 8), JPEG_OK);
    // Codes from T.81 Table K.3.
    const uint32_t lengths[12] = {2, 3, 3, 3, 3, 3, 4, 5, 6, 7, 8, 9};
    const uint32_t codes[12] = {0b00,   0b010,   0b011,    0b100,     0b101,      0b110,
                                0b1110, 0b11110, 0b111110, 0b1111110, 0b11111110, 0b111111110};
    for (int v = 0; v < 12; ++v) {
        EXPECT_EQ(table.codes[v].length, lengths[v]) << v;
        EXPECT_EQ(table.codes[v].code, codes[v]) << v;
    }
    EXPECT_EQ(table.codes[12].length, 0u);
    EXPECT_EQ(table.lookahead[0xFF].length, 9);   // longer than the look-ahead
    for (int v = 0; v < 12; ++v) {
        EXPECT_EQ(Decode(table, codes[v], static_cast<int32_t>(lengths[v])), v);
    }
    jpeg_huff_table_release(d.decoder, &table);
}

TEST(Huffman, LongCodesAndUnusedPatterns)
{
    Decoder d;
    // One code of each length 1..15 and two of length 16: 0, 10, 110, ..., 1111111111111110, 1111111111111111
    // would be all ones; use one code of length 1 and one of 16 instead: 0 and 1000000000000000.
    uint8_t counts[16] = {1};
    counts[15] = 1;
    const uint8_t values[2] = {0x11, 0x22};
    jpeg_huff_table table{};
    ASSERT_EQ(DeriveHuffDecodeTable(d.decoder, &table, counts, values, 256), JPEG_OK);
    ASSERT_EQ(jpeg_build_lookahead(d.decoder, &table, 8), JPEG_OK);
    EXPECT_EQ(table.codes[0x22].length, 16u);
    EXPECT_EQ(table.codes[0x22].code, 0x8000u);
    EXPECT_EQ(table.lookahead[0x80].length, 16);   // only the entry of its first eight bits
    EXPECT_EQ(table.lookahead[0x81].length, 0);
    EXPECT_EQ(table.lookahead[0x81].symbol, 0u);
    EXPECT_EQ(table.lookahead[0xFF].length, 0);
    EXPECT_EQ(table.lookahead[0x7F].length, 1);
    EXPECT_EQ(Decode(table, 0x8000, 16), 0x22);
    jpeg_huff_table_release(d.decoder, &table);
}

TEST(Huffman, TablesThatCannotBeUsed)
{
    Decoder d;
    jpeg_huff_table table{};
    const uint8_t overfull[16] = {3};
    const uint8_t values[18] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 0};
    EXPECT_EQ(DeriveHuffDecodeTable(d.decoder, &table, overfull, values, 256), JPEG_ERR_PARAMETER);
    EXPECT_EQ(table.counts, nullptr);
    uint8_t raw_counts[16] = {3};
    jpeg_huff_code* codes = nullptr;
    EXPECT_EQ(jpeg_build_code_table(d.decoder, raw_counts, values, 256, &codes), JPEG_ERR_PARAMETER);
    EXPECT_EQ(codes, nullptr);
    // Over-full at a longer length too: 2 of length 1 then one of length 2 would need code 100.
    const uint8_t later[16] = {1, 2, 1};
    EXPECT_EQ(DeriveHuffDecodeTable(d.decoder, &table, later, values, 256), JPEG_ERR_PARAMETER);
    // The all-ones code is reserved, as libjpeg-turbo and dcmtk have it.
    const uint8_t full[16] = {2};
    EXPECT_EQ(DeriveHuffDecodeTable(d.decoder, &table, full, values, 256), JPEG_ERR_PARAMETER);
    const uint8_t many[16] = {0, 0, 0, 0, 0, 18};
    EXPECT_EQ(DeriveHuffDecodeTable(d.decoder, &table, many, values, 17), JPEG_ERR_PARAMETER);
    const uint8_t seventeen[16] = {0, 0, 0, 0, 0, 17};
    EXPECT_EQ(DeriveHuffDecodeTable(d.decoder, &table, seventeen, values, 17), JPEG_OK);
    const uint8_t big_value[1] = {17};
    const uint8_t one[16] = {0, 1};
    EXPECT_EQ(DeriveHuffDecodeTable(d.decoder, &table, one, big_value, 17), JPEG_ERR_PARAMETER);
    jpeg_huff_table_release(d.decoder, &table);
}

TEST(Huffman, RepeatedSymbolValuesKeepCanonicalCodes)
{
    Decoder d;
    // Symbol 5 twice: codes 00 and 01 and 10 for 5, 5, 7.
    const uint8_t counts[16] = {0, 3};
    const uint8_t values[3] = {5, 5, 7};
    jpeg_huff_table table{};
    ASSERT_EQ(DeriveHuffDecodeTable(d.decoder, &table, counts, values, 17), JPEG_OK);
    EXPECT_EQ(table.mincode[1], 0);
    EXPECT_EQ(table.maxcode[1], 2);
    ASSERT_EQ(jpeg_build_lookahead(d.decoder, &table, 8), JPEG_OK);
    EXPECT_EQ(Decode(table, 0b00, 2), 5);
    EXPECT_EQ(Decode(table, 0b01, 2), 5);
    EXPECT_EQ(Decode(table, 0b10, 2), 7);
    jpeg_huff_table_release(d.decoder, &table);
}

TEST(Huffman, RebuildAndScanCheck)
{
    Decoder d;
    jpeg_decoder* decoder = d.decoder;
    decoder->dc_tables = static_cast<jpeg_huff_table*>(jpeg_calloc(decoder, 2, sizeof(jpeg_huff_table)));
    decoder->dc_count = 2;
    decoder->ac_tables = static_cast<jpeg_huff_table*>(jpeg_calloc(decoder, 1, sizeof(jpeg_huff_table)));
    decoder->ac_count = 1;
    ASSERT_EQ(DeriveHuffDecodeTable(decoder, &decoder->dc_tables[1], kLumaDcCounts, kLumaDcValues, 17), JPEG_OK);
    ASSERT_EQ(jpeg_rebuild_lookaheads(decoder, 8), JPEG_OK);
    EXPECT_EQ(decoder->lookahead_bits, 8);
    EXPECT_EQ(decoder->dc_tables[0].lookahead[0].length, 0);   // undefined: all zero
    EXPECT_EQ(decoder->dc_tables[1].lookahead[0].length, 2);

    decoder->component_count = 1;
    decoder->frame_marker = 0xC1;
    decoder->dc_selector[0] = 0;
    EXPECT_EQ(jpeg_check_scan_tables(decoder), JPEG_ERR_SYNTAX);   // slot 0 never defined
    decoder->dc_selector[0] = 2;
    EXPECT_EQ(jpeg_check_scan_tables(decoder), JPEG_ERR_SYNTAX);   // no such slot
    decoder->dc_selector[0] = 1;
    EXPECT_EQ(jpeg_check_scan_tables(decoder), JPEG_OK);
    decoder->frame_marker = 0xC0;   // baseline needs its AC table as well
    EXPECT_EQ(jpeg_check_scan_tables(decoder), JPEG_ERR_SYNTAX);
    const uint8_t counts[16] = {1};
    const uint8_t values[1] = {0};
    ASSERT_EQ(DeriveHuffDecodeTable(decoder, &decoder->ac_tables[0], counts, values, 256), JPEG_OK);
    EXPECT_EQ(jpeg_check_scan_tables(decoder), JPEG_OK);
}

TEST(Huffman, RefusedAllocationsLeaveNothing)
{
    for (int32_t n = 1; n < 6; ++n) {
        TestHeap heap;
        jpeg_decoder* decoder = jpeg_decoder_create(&kTestAllocator, &heap);
        heap.refuse_at = n;
        jpeg_huff_table table{};
        jpeg_status status = DeriveHuffDecodeTable(decoder, &table, kLumaDcCounts, kLumaDcValues, 17);
        if (status == JPEG_OK) {
            status = jpeg_build_lookahead(decoder, &table, 8);
        }
        EXPECT_EQ(status, n < 4 ? JPEG_ERR_MEMORY : JPEG_OK) << n;
        jpeg_huff_table_release(decoder, &table);
        jpeg_decoder_destroy(decoder);
        EXPECT_EQ(heap.live, 0) << n;
    }
}

TEST(Order, NaturalOrderIsTheZigzag)
{
    // Walk the anti-diagonals, alternating direction, as the zigzag does.
    const uint8_t* natural = GetNaturalOrderTable();
    int index = 0;
    for (int sum = 0; sum < 15; ++sum) {
        for (int step = 0; step <= sum; ++step) {
            const int row = sum % 2 == 0 ? sum - step : step;
            const int column = sum - row;
            if (row < 8 && column < 8) {
                EXPECT_EQ(natural[index], row * 8 + column) << index;
                ++index;
            }
        }
    }
    EXPECT_EQ(index, 64);
}

TEST(Quant, AanScalesAndMultipliers)
{
    for (int u = 0; u < 8; ++u) {
        for (int v = 0; v < 8; ++v) {
            const double su = u == 0 ? 1.0 : std::sqrt(2.0) * std::cos(u * M_PI / 16);
            const double sv = v == 0 ? 1.0 : std::sqrt(2.0) * std::cos(v * M_PI / 16);
            EXPECT_EQ(jpeg_aan_scales[8 * u + v], std::lround(16384 * su * sv)) << u << "," << v;
        }
    }
    Decoder d;
    jpeg_decoder* decoder = d.decoder;
    decoder->component_count = 3;
    decoder->quant_count = 2;
    decoder->quant_tables = static_cast<jpeg_quant_table*>(jpeg_calloc(decoder, 2, sizeof(jpeg_quant_table)));
    const uint8_t* natural = GetNaturalOrderTable();
    for (int i = 0; i < 64; ++i) {
        decoder->quant_tables[0].values[natural[i]] = kLumaQuantZigzag[i];
        decoder->quant_tables[1].values[i] = 2;
    }
    decoder->quant_selector[0] = 0;
    decoder->quant_selector[1] = 1;
    decoder->quant_selector[2] = 0;
    // Component 2 shares table 0 with component 0 but is transformed at another scale.
    decoder->component_scale[0] = 1;
    decoder->component_scale[1] = 1;
    decoder->component_scale[2] = 2;
    ASSERT_EQ(jpeg_setup_quant_tables(decoder), JPEG_OK);
    EXPECT_EQ(decoder->multipliers[0].values[0], 16384);
    EXPECT_EQ(decoder->multipliers[0].values[1], (11 * 22725 + 8) >> 4);
    EXPECT_EQ(decoder->multipliers[1].values[63], (2 * 1247 + 8) >> 4);
    EXPECT_EQ(decoder->multipliers[2].values[0], 16);
    EXPECT_EQ(decoder->multipliers[2].values[8], 12);

    decoder->quant_tables[0].values[40] = 0;
    EXPECT_EQ(jpeg_check_quant_tables(decoder), JPEG_ERR_SYNTAX);
    EXPECT_EQ(jpeg_setup_quant_tables(decoder), JPEG_ERR_SYNTAX);
    decoder->quant_tables[0].values[40] = 1;
    decoder->quant_selector[1] = 2;
    EXPECT_EQ(jpeg_check_quant_tables(decoder), JPEG_ERR_SYNTAX);
}

namespace {

struct Geometry {
    Decoder d;
    jpeg_status status;
    Geometry(uint32_t sof, uint16_t x, uint16_t y, std::vector<uint8_t> sampling, int32_t selected = -1)
    {
        jpeg_decoder* decoder = d.decoder;
        decoder->frame_marker = sof;
        decoder->width = x;
        decoder->height = y;
        decoder->component_count = static_cast<int32_t>(sampling.size());
        decoder->selected_component = selected;
        uint8_t hmax = 1;
        uint8_t vmax = 1;
        for (size_t c = 0; c < sampling.size(); ++c) {
            decoder->frame_h[c] = sampling[c] >> 4;
            decoder->frame_v[c] = sampling[c] & 15;
            hmax = std::max<uint8_t>(hmax, decoder->frame_h[c]);
            vmax = std::max<uint8_t>(vmax, decoder->frame_v[c]);
        }
        for (size_t c = 0; c < sampling.size(); ++c) {
            decoder->ratio_h[c] = hmax / decoder->frame_h[c];
            decoder->ratio_v[c] = vmax / decoder->frame_v[c];
        }
        status = jpeg_setup_mcu_geometry(decoder);
    }
};

}   // namespace

TEST(Geometry, HugeFramesAreRefusedBeforeAllocating)
{
    // 65535 x 65535 4:4:4 progressive: about 200 million blocks, 50 GB of coefficients.
    Geometry huge(0xC2, 65535, 65535, {0x11, 0x11, 0x11});
    EXPECT_EQ(huge.status, JPEG_ERR_MEMORY);
    EXPECT_EQ(huge.d.heap.calls, 1);   // only the record
    EXPECT_EQ(huge.d.decoder->block_entries, nullptr);
    // Just below what 32-bit sizes allow still goes to the allocator, which may refuse it.
    Geometry refused(0xC2, 2048, 2048, {0x11, 0x11, 0x11});
    EXPECT_EQ(refused.status, JPEG_OK);
    Geometry memory(0xC0, 64, 64, {0x11});
    EXPECT_EQ(memory.status, JPEG_OK);
    for (int32_t n : {1, 2}) {
        TestHeap heap;
        jpeg_decoder* decoder = jpeg_decoder_create(&kTestAllocator, &heap);
        decoder->frame_marker = 0xC0;
        decoder->component_count = 1;
        decoder->width = 8;
        decoder->height = 8;
        heap.refuse_at = n;
        EXPECT_EQ(jpeg_setup_mcu_geometry(decoder), JPEG_ERR_MEMORY);
        jpeg_decoder_destroy(decoder);
        EXPECT_EQ(heap.live, 0);
    }
}
