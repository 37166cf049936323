#include "processor/kernel_dispatch.h"

#include "colour/colour_blocks.h"
#include "huffman/huff_decode.h"
#include "huffman/huff_encode.h"
#include "huffman/huff_table_gen.h"
#include "lossless/lossless_diff.h"
#include "lossless/lossless_reconstruct.h"
#include "platform/platdispatch.h"
#include "processor/cpu_query.h"
#include "quanttable/quant_table.h"
#include "transform/dequant_idct.h"
#include "transform/forward_dct.h"

#if defined(__x86_64__) || defined(__i386__)
#define KV_SIMD(x86_body, plain_body) x86_body
#else
#define KV_SIMD(x86_body, plain_body) plain_body
#endif

// A plain cast keeps the tables constant data, ready before any static initialiser runs.
#define entry(f) reinterpret_cast<kernel_entry>(f)

std::atomic<int32_t> dispatch_level{0};

// clang-format off
const kernel_entry dispatch_tables[dispatch_table_count][dispatch_level_count] = {
    // 0: ycbcr_from_rgb_444_blocks
    {entry(&RgbToYCbCrMcu444),
     entry(KV_SIMD(&RgbToYCbCrMcu444Simd<1>, &RgbToYCbCrMcu444)),
     entry(KV_SIMD(&RgbToYCbCrMcu444Simd<2>, &RgbToYCbCrMcu444)),
     entry(KV_SIMD(&RgbToYCbCrMcu444Simd<3>, &RgbToYCbCrMcu444)),
     entry(KV_SIMD(&RgbToYCbCrMcu444Simd<4>, &RgbToYCbCrMcu444)),
     entry(KV_SIMD(&RgbToYCbCrMcu444Simd<5>, &RgbToYCbCrMcu444))},
    // 1: ycbcr_from_rgb_422_blocks
    {entry(&RgbToYCbCrMcu422),
     entry(KV_SIMD(&RgbToYCbCrMcu422Simd<1>, &RgbToYCbCrMcu422)),
     entry(KV_SIMD(&RgbToYCbCrMcu422Simd<2>, &RgbToYCbCrMcu422)),
     entry(KV_SIMD(&RgbToYCbCrMcu422Simd<3>, &RgbToYCbCrMcu422)),
     entry(KV_SIMD(&RgbToYCbCrMcu422Simd<4>, &RgbToYCbCrMcu422)),
     entry(KV_SIMD(&RgbToYCbCrMcu422Simd<5>, &RgbToYCbCrMcu422))},
    // 2: ycbcr_from_rgb_420_blocks
    {entry(&RgbToYCbCrMcu420),
     entry(KV_SIMD(&RgbToYCbCrMcu420Simd<1>, &RgbToYCbCrMcu420)),
     entry(KV_SIMD(&RgbToYCbCrMcu420Simd<2>, &RgbToYCbCrMcu420)),
     entry(KV_SIMD(&RgbToYCbCrMcu420Simd<3>, &RgbToYCbCrMcu420)),
     entry(KV_SIMD(&RgbToYCbCrMcu420Simd<4>, &RgbToYCbCrMcu420)),
     entry(KV_SIMD(&RgbToYCbCrMcu420Simd<5>, &RgbToYCbCrMcu420))},
    // 3: blocks_from_interleaved_444
    {entry(&InterleavedToMcu444),
     entry(KV_SIMD(&InterleavedToMcu444Simd<1>, &InterleavedToMcu444)),
     entry(KV_SIMD(&InterleavedToMcu444Simd<2>, &InterleavedToMcu444)),
     entry(KV_SIMD(&InterleavedToMcu444Simd<3>, &InterleavedToMcu444)),
     entry(KV_SIMD(&InterleavedToMcu444Simd<4>, &InterleavedToMcu444)),
     entry(KV_SIMD(&InterleavedToMcu444Simd<5>, &InterleavedToMcu444))},
    // 4: blocks_from_interleaved_422
    {entry(&InterleavedToMcu422),
     entry(KV_SIMD(&InterleavedToMcu422Simd<1>, &InterleavedToMcu422)),
     entry(KV_SIMD(&InterleavedToMcu422Simd<2>, &InterleavedToMcu422)),
     entry(KV_SIMD(&InterleavedToMcu422Simd<3>, &InterleavedToMcu422)),
     entry(KV_SIMD(&InterleavedToMcu422Simd<4>, &InterleavedToMcu422)),
     entry(KV_SIMD(&InterleavedToMcu422Simd<5>, &InterleavedToMcu422))},
    // 5: blocks_from_interleaved_420
    {entry(&InterleavedToMcu420),
     entry(KV_SIMD(&InterleavedToMcu420Simd<1>, &InterleavedToMcu420)),
     entry(KV_SIMD(&InterleavedToMcu420Simd<2>, &InterleavedToMcu420)),
     entry(KV_SIMD(&InterleavedToMcu420Simd<3>, &InterleavedToMcu420)),
     entry(KV_SIMD(&InterleavedToMcu420Simd<4>, &InterleavedToMcu420)),
     entry(KV_SIMD(&InterleavedToMcu420Simd<5>, &InterleavedToMcu420))},
    // 6: ForwardDctQuant8x8
    {entry(&ForwardDctQuant8x8),
     entry(KV_SIMD(&ForwardDctQuant8x8Simd<1>, &ForwardDctQuant8x8)),
     entry(KV_SIMD(&ForwardDctQuant8x8Simd<2>, &ForwardDctQuant8x8)),
     entry(KV_SIMD(&ForwardDctQuant8x8Simd<3>, &ForwardDctQuant8x8)),
     entry(KV_SIMD(&ForwardDctQuant8x8Simd<4>, &ForwardDctQuant8x8)),
     entry(KV_SIMD(&ForwardDctQuant8x8Simd<5>, &ForwardDctQuant8x8))},
    // 7: EncodeHuffman8x8
    {entry(&EncodeHuffman8x8<0>), entry(&EncodeHuffman8x8<1>), entry(&EncodeHuffman8x8<2>),
     entry(&EncodeHuffman8x8<3>), entry(&EncodeHuffman8x8<4>), entry(&EncodeHuffman8x8<5>)},
    // 8: GetHuffEncodeSpecSize
    {entry(&GetHuffEncodeSpecSize), entry(&GetHuffEncodeSpecSize), entry(&GetHuffEncodeSpecSize),
     entry(&GetHuffEncodeSpecSize), entry(&GetHuffEncodeSpecSize), entry(&GetHuffEncodeSpecSize)},
    // 9: InitHuffEncodeSpec
    {entry(&InitHuffEncodeSpec<0>), entry(&InitHuffEncodeSpec<1>), entry(&InitHuffEncodeSpec<2>),
     entry(&InitHuffEncodeSpec<3>), entry(&InitHuffEncodeSpec<4>), entry(&InitHuffEncodeSpec<5>)},
    // 10: InitHuffEncodeState
    {entry(&InitHuffEncodeState<0>), entry(&InitHuffEncodeState<1>), entry(&InitHuffEncodeState<2>),
     entry(&InitHuffEncodeState<3>), entry(&InitHuffEncodeState<4>), entry(&InitHuffEncodeState<5>)},
    // 11: quant_table_init
    {entry(&InitQuantTable<0>),
     entry(KV_SIMD(&InitQuantTable<1>, &InitQuantTable<0>)),
     entry(KV_SIMD(&InitQuantTable<2>, &InitQuantTable<0>)),
     entry(KV_SIMD(&InitQuantTable<3>, &InitQuantTable<0>)),
     entry(KV_SIMD(&InitQuantTable<4>, &InitQuantTable<0>)),
     entry(KV_SIMD(&InitQuantTable<5>, &InitQuantTable<0>))},
    // 12
    {entry(&DequantIdct8x8),
     entry(KV_SIMD(&DequantIdct8x8Simd<1>, &DequantIdct8x8)),
     entry(KV_SIMD(&DequantIdct8x8Simd<2>, &DequantIdct8x8)),
     entry(KV_SIMD(&DequantIdct8x8Simd<3>, &DequantIdct8x8)),
     entry(KV_SIMD(&DequantIdct8x8Simd<4>, &DequantIdct8x8)),
     entry(KV_SIMD(&DequantIdct8x8Simd<5>, &DequantIdct8x8))},
    // 13
    {entry(&HuffDecodeSpecSize), entry(&HuffDecodeSpecSize), entry(&HuffDecodeSpecSize),
     entry(&HuffDecodeSpecSize), entry(&HuffDecodeSpecSize), entry(&HuffDecodeSpecSize)},
    // 14
    {entry(&HuffDecodeSpecInit<0>), entry(&HuffDecodeSpecInit<1>), entry(&HuffDecodeSpecInit<2>),
     entry(&HuffDecodeSpecInit<3>), entry(&HuffDecodeSpecInit<4>), entry(&HuffDecodeSpecInit<5>)},
    // 15
    {entry(&HuffDecodeStateSize), entry(&HuffDecodeStateSize), entry(&HuffDecodeStateSize),
     entry(&HuffDecodeStateSize), entry(&HuffDecodeStateSize), entry(&HuffDecodeStateSize)},
    // 16
    {entry(&HuffDecodeStateInit), entry(&HuffDecodeStateInit), entry(&HuffDecodeStateInit),
     entry(&HuffDecodeStateInit), entry(&HuffDecodeStateInit), entry(&HuffDecodeStateInit)},
    // 17
    {entry(&DecodeHuffman8x8),
     entry(KV_SIMD(&DecodeHuffman8x8Simd<1>, &DecodeHuffman8x8)),
     entry(KV_SIMD(&DecodeHuffman8x8Simd<2>, &DecodeHuffman8x8)),
     entry(KV_SIMD(&DecodeHuffman8x8Simd<3>, &DecodeHuffman8x8)),
     entry(KV_SIMD(&DecodeHuffman8x8Simd<4>, &DecodeHuffman8x8)),
     entry(KV_SIMD(&DecodeHuffman8x8Simd<5>, &DecodeHuffman8x8))},
    // 18
    {entry(&DecodeHuffDiff), entry(&DecodeHuffDiff),
     entry(KV_SIMD(&DecodeHuffDiffSimd<2>, &DecodeHuffDiff)),
     entry(KV_SIMD(&DecodeHuffDiffSimd<3>, &DecodeHuffDiff)),
     entry(KV_SIMD(&DecodeHuffDiffSimd<4>, &DecodeHuffDiff)),
     entry(KV_SIMD(&DecodeHuffDiffSimd<5>, &DecodeHuffDiff))},
    // 19
    {entry(&DecodeHuffmanLosslessRow), entry(&DecodeHuffmanLosslessRow), entry(&DecodeHuffmanLosslessRow),
     entry(&DecodeHuffmanLosslessRow),
     entry(KV_SIMD(&DecodeHuffmanLosslessRowSimd<4>, &DecodeHuffmanLosslessRow)),
     entry(KV_SIMD(&DecodeHuffmanLosslessRowSimd<5>, &DecodeHuffmanLosslessRow))},
    // 20
    {entry(&ReconstructLosslessFirstRow), entry(&ReconstructLosslessFirstRow),
     entry(&ReconstructLosslessFirstRowSimd<2>), entry(&ReconstructLosslessFirstRowSimd<3>),
     entry(&ReconstructLosslessFirstRowSimd<4>), entry(&ReconstructLosslessFirstRowSimd<5>)},
    // 21
    {entry(&ReconstructLosslessRow), entry(&ReconstructLosslessRow),
     entry(&ReconstructLosslessRowSimd<2>), entry(&ReconstructLosslessRowSimd<3>),
     entry(&ReconstructLosslessRowSimd<4>), entry(&ReconstructLosslessRowSimd<5>)},
    // 22: EncodeHuffmanLosslessRow
    {entry(&EncodeHuffmanLosslessRow<0>), entry(&EncodeHuffmanLosslessRow<1>), entry(&EncodeHuffmanLosslessRow<2>),
     entry(&EncodeHuffmanLosslessRow<3>), entry(&EncodeHuffmanLosslessRow<4>), entry(&EncodeHuffmanLosslessRow<5>)},
    // 23: diff_lossless_first_row
    {entry(&DiffLosslessFirstRow), entry(&DiffLosslessFirstRow),
     entry(&DiffLosslessFirstRowSimd<2>), entry(&DiffLosslessFirstRowSimd<3>),
     entry(&DiffLosslessFirstRowSimd<4>), entry(&DiffLosslessFirstRowSimd<5>)},
    // 24: diff_lossless_row
    {entry(&DiffLosslessRow), entry(&DiffLosslessRow),
     entry(&DiffLosslessRowSimd<2>), entry(&DiffLosslessRowSimd<3>),
     entry(&DiffLosslessRowSimd<4>), entry(&DiffLosslessRowSimd<5>)},
    // 25: EncodeHuffmanDiff
    {entry(&EncodeHuffmanDiff<0>), entry(&EncodeHuffmanDiff<1>), entry(&EncodeHuffmanDiff<2>),
     entry(&EncodeHuffmanDiff<3>), entry(&EncodeHuffmanDiff<4>), entry(&EncodeHuffmanDiff<5>)},
    {},                                  // 26: encoding direction
    // 27: GenerateHuffTable
    {entry(&GenerateHuffTable<0>), entry(&GenerateHuffTable<1>), entry(&GenerateHuffTable<2>),
     entry(&GenerateHuffTable<3>), entry(&GenerateHuffTable<4>), entry(&GenerateHuffTable<5>)},
    {},                                  // 28: encoding direction
};
// clang-format on
#undef entry

int32_t dispatch_level_for_type(int32_t type)
{
    switch (type) {
    case 5:
    case 16:
    case 17:
    case 64: return 1;
    case 6:
    case 7:
    case 9:
    case 65: return 2;
    case 8:
    case 10:
    case 11:
    case 32:
    case 66: return 3;
    case 33:
    case 34:
    case 36:
    case 67: return 4;
    case 35:
    case 68:
    case 69: return 5;
    default: return 0;
    }
}

kernel_status dispatch_init()
{
    const int32_t level = dispatch_level_for_type(cpu_identify_type());
    dispatch_level.store(PlatForcePlainKernels() ? 0 : level, std::memory_order_relaxed);
    if (CheckCpuidPresent() == 0 || CheckCpuVendor() == 0)
        return kernel_processor_warning;
    return kernel_ok;
}

int32_t dispatch_supported_level()
{
#if defined(__x86_64__) || defined(__i386__)
    static const int32_t supported = [] {
        uint32_t r[4] = {};
        QueryCpuid(r, 0, 0);
        if (r[0] < 1)
            return 0;
        QueryCpuid(r, 1, 0);
        const uint32_t ecx = r[2], edx = r[3];
        if (!(edx & (1u << 25)))
            return 0;   // SSE
        if (!(edx & (1u << 26)))
            return 1;   // SSE2
        if (!(ecx & 1u))
            return 2;   // SSE3
        if (!(ecx & (1u << 9)))
            return 3;   // SSSE3
        if (!(ecx & (3u << 19)))
            return 4;   // SSE4.1 or SSE4.2
        return 5;
    }();
    return supported;
#else
    return 5;   // every level runs the plain bodies
#endif
}

kernel_status dispatch_set_level(int32_t level)
{
    if (level < 0 || level >= dispatch_level_count || level > dispatch_supported_level())
        return kernel_out_of_range;
    return dispatch_level.exchange(level, std::memory_order_relaxed);
}

kernel_status dequant_idct_8x8(const int16_t* src, int16_t* dst, const uint16_t* table)
{
    return dispatch_entry<dispatch_table_dequant_idct_8x8>(dispatch_level.load(std::memory_order_relaxed))(src, dst,
                                                                                                           table);
}

// The stubs of the other operations continue in the entry of the current level.
#define KV_STUB(table) dispatch_entry<table>(dispatch_level.load(std::memory_order_relaxed))

kernel_status huff_decode_spec_size(int32_t* size)
{
    return KV_STUB(dispatch_table_huff_decode_spec_size)(size);
}

kernel_status huff_decode_spec_init(const uint8_t* counts, const uint8_t* values, HuffDecodeSpec* spec)
{
    return KV_STUB(dispatch_table_huff_decode_spec_init)(counts, values, spec);
}

kernel_status huff_decode_state_size(int32_t* size)
{
    return KV_STUB(dispatch_table_huff_decode_state_size)(size);
}

kernel_status huff_decode_state_init(HuffDecodeState* state)
{
    return KV_STUB(dispatch_table_huff_decode_state_init)(state);
}

kernel_status huff_decode_block_8x8(const uint8_t* data, int32_t length, int32_t* position, int16_t* block,
                                    int16_t* last_dc, uint32_t* marker, const HuffDecodeSpec* dc,
                                    const HuffDecodeSpec* ac, HuffDecodeState* state)
{
    return KV_STUB(dispatch_table_huff_decode_block_8x8)(data, length, position, block, last_dc, marker, dc, ac, state);
}

kernel_status huff_decode_lossless_row(const uint8_t* data, int32_t length, int32_t* position, uint16_t* const* rows,
                                       int32_t samples, int32_t components, uint32_t* marker,
                                       const HuffDecodeSpec* const* specs, HuffDecodeState* state)
{
    return KV_STUB(dispatch_table_huff_decode_lossless_row)(data, length, position, rows, samples, components, marker,
                                                            specs, state);
}

kernel_status lossless_reconstruct_first_row(const uint16_t* diff, uint16_t* out, int32_t samples, int32_t precision,
                                             int32_t point_transform)
{
    return KV_STUB(dispatch_table_lossless_reconstruct_first_row)(diff, out, samples, precision, point_transform);
}

kernel_status lossless_reconstruct_row(const uint16_t* diff, const uint16_t* above, uint16_t* out, int32_t samples,
                                       int32_t predictor)
{
    return KV_STUB(dispatch_table_lossless_reconstruct_row)(diff, above, out, samples, predictor);
}

kernel_status ycbcr_from_rgb_444_blocks(const uint8_t* src, int32_t srcStep, int16_t* const* blocks)
{
    return KV_STUB(dispatch_table_ycbcr_from_rgb_444_blocks)(src, srcStep, blocks);
}

kernel_status ycbcr_from_rgb_422_blocks(const uint8_t* src, int32_t srcStep, int16_t* const* blocks)
{
    return KV_STUB(dispatch_table_ycbcr_from_rgb_422_blocks)(src, srcStep, blocks);
}

kernel_status ycbcr_from_rgb_420_blocks(const uint8_t* src, int32_t srcStep, int16_t* const* blocks)
{
    return KV_STUB(dispatch_table_ycbcr_from_rgb_420_blocks)(src, srcStep, blocks);
}

kernel_status blocks_from_interleaved_444(const uint8_t* src, int32_t srcStep, int16_t* const* blocks)
{
    return KV_STUB(dispatch_table_blocks_from_interleaved_444)(src, srcStep, blocks);
}

kernel_status blocks_from_interleaved_422(const uint8_t* src, int32_t srcStep, int16_t* const* blocks)
{
    return KV_STUB(dispatch_table_blocks_from_interleaved_422)(src, srcStep, blocks);
}

kernel_status blocks_from_interleaved_420(const uint8_t* src, int32_t srcStep, int16_t* const* blocks)
{
    return KV_STUB(dispatch_table_blocks_from_interleaved_420)(src, srcStep, blocks);
}

kernel_status quant_table_init(const uint8_t* steps, uint16_t* table)
{
    return KV_STUB(dispatch_table_quant_table_init)(steps, table);
}
#undef KV_STUB
