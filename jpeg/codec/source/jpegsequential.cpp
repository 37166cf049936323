// The sequential row decoder: block entries, or the direct path's MCUs decoded straight into the
// line buffers.

#include <cstring>

#include "huffman/huff_decode.h"
#include "jpegdecode_internal.h"

namespace {

// Restart intervals lost between the last RSTn met and the one found.
uint32_t LostIntervals(uint8_t before, uint8_t after)
{
    return static_cast<uint32_t>((after & 7) - (before & 7) - 1) & 7u;
}

}   // namespace

namespace {

// Whether the direct path's MCUs may skip the block entries: each block decoded, transformed and
// stored in its place at once.
bool DirectMcusApply(const jpeg_decoder* decoder)
{
    if (decoder->direct_mode == 0 || decoder->decode_unit != &jpeg_direct_decode_block ||
        decoder->scale_denominator > 1 ||
        (decoder->output_blocks != &jpeg_output_blocks && decoder->output_blocks != &jpeg_output_block_single)) {
        return false;
    }
    for (int32_t c = 0; c < decoder->component_count; ++c) {
        if (decoder->transform[c] != &jpeg_direct_transform_block ||
            decoder->mcu_width[c] / 8 * (decoder->mcu_height[c] / 8) != decoder->component_blocks[c]) {
            return false;
        }
    }
    return true;
}

using WordStore = void (*)(const int16_t* values, uint8_t* out, int32_t stride);

// One MCU along the direct path; false when a block failed, its samples then set back to the
// 128 of the cleared row, as if nothing had been stored.
bool DirectMcu(jpeg_decoder* decoder, const jpeg_plane* at, WordStore store)
{
    alignas(16) int16_t coefficients[64];
    alignas(16) int16_t samples[64];
    jpeg_block_entry entry{reinterpret_cast<int32_t*>(coefficients), 0, 0};
    const int32_t nf = jpeg_rec_component_count(decoder);
    const int32_t selected = jpeg_rec_selected_component(decoder);
    for (int32_t c = 0; c < nf; ++c) {
        const jpeg_plane& plane = at[c];
        const bool stored = plane.samples != nullptr && (selected < 0 || selected == c);
        const uint16_t* quant = jpeg_rec_direct_state(decoder)->quant + 64 * jpeg_rec_quant_selectors(decoder)[c];
        for (uint32_t by = 0; by < decoder->mcu_height[c] / 8; ++by) {
            for (uint32_t bx = 0; bx < decoder->mcu_width[c] / 8; ++bx) {
                if (jpeg_direct_decode_block(decoder, &entry, c) < 1) {
                    for (int32_t k = 0; k <= c; ++k) {
                        if (at[k].samples == nullptr) {
                            continue;
                        }
                        for (uint32_t y = 0; y < decoder->mcu_height[k]; ++y) {
                            std::memset(at[k].samples + static_cast<ptrdiff_t>(y) * at[k].stride, 128,
                                        decoder->mcu_width[k]);
                        }
                    }
                    return false;
                }
                dequant_idct_8x8(coefficients, samples, quant);
                if (stored) {
                    store(samples, plane.samples + static_cast<ptrdiff_t>(8 * by) * plane.stride + 8 * bx,
                          plane.stride);
                }
            }
        }
    }
    return true;
}

using BlockStore = void (*)(const int32_t* values, uint8_t* out, int32_t stride);

// What one component's blocks need along the reduced-size MCUs of the direct path, set once a row.
struct ReducedPart {
    const HuffDecodeSpec* dc;
    const HuffDecodeSpec* ac;
    const int32_t* multiplier;
    WordsTransform transform;   // the 8 x 8 one; null for the others
    WordsStore store;           // the 4 x 4 and 2 x 2 ones straight to samples; null for the others
    WordsStore low;             // the same for values at natural 0, 1 and 8 only
    int32_t n;                  // samples a side of a stored block
    uint32_t blocks_wide;
    uint32_t blocks_high;
    uint32_t mcu_wide;   // the component's samples of one MCU at its scale
    uint32_t mcu_high;
};

struct ReducedPlan {
    BlockDecoder decode;
    BlockStore store8;
    const int32_t* range_limit;
    int32_t components;
    ReducedPart parts[4];
};

// Whether reduced-size MCUs of the direct path may skip the block entries: each component with
// a transform that reads the 16-bit values itself (storing the samples too below 8 x 8) or the
// 1 x 1 one, the MCU's blocks its own, its tables there. Fills the plan when so.
bool ReducedMcusApply(const jpeg_decoder* decoder, ReducedPlan* plan)
{
    if (decoder->direct_mode == 0 || decoder->decode_unit != &jpeg_direct_decode_block_scaled ||
        decoder->output_blocks != &jpeg_output_blocks || jpeg_rec_selected_component(decoder) >= 0) {
        return false;
    }
    const jpeg_direct_state* st = jpeg_rec_direct_state(decoder);
    const int32_t nf = jpeg_rec_component_count(decoder);
    for (int32_t c = 0; c < nf; ++c) {
        const uint32_t dc = jpeg_rec_dc_selectors(decoder)[c];
        const uint32_t ac = jpeg_rec_ac_selectors(decoder)[c];
        const uint32_t scale = decoder->component_scale[c] != 0 ? decoder->component_scale[c] : 1;
        const WordsTransform words = scale == 1 ? decoder->transform_words[c] : nullptr;
        const WordsStore store =
            (scale == 2 || scale == 4) && st->low_store[c] != nullptr ? st->words_store[c] : nullptr;
        if ((words == nullptr && store == nullptr && decoder->transform[c] != &jpeg_idct_1x1) ||
            decoder->mcu_width[c] / 8 * (decoder->mcu_height[c] / 8) != decoder->component_blocks[c] ||
            decoder->line_buffers[c].base == nullptr || dc >= static_cast<uint32_t>(jpeg_rec_dc_count(decoder)) ||
            ac >= static_cast<uint32_t>(jpeg_rec_ac_count(decoder)) || st->dc_specs[dc] == nullptr ||
            st->ac_specs[ac] == nullptr) {
            return false;
        }
        plan->parts[c] = ReducedPart{st->dc_specs[dc],
                                     st->ac_specs[ac],
                                     st->multipliers[c],
                                     words,
                                     store,
                                     store != nullptr ? st->low_store[c] : nullptr,
                                     static_cast<int32_t>(8 / scale),
                                     decoder->mcu_width[c] / 8,
                                     decoder->mcu_height[c] / 8,
                                     decoder->mcu_width[c] / scale,
                                     decoder->mcu_height[c] / scale};
    }
    plan->decode = st->decode_block;
    plan->store8 = decoder->store_block8;
    plan->range_limit = decoder->range_limit;
    plan->components = nf;
    return true;
}

// One reduced-size MCU along the direct path: each block decoded, transformed and stored in its
// place at once. False when a block failed, the MCU's samples then set back to the 128 of the
// cleared row, as if nothing had been stored.
bool ReducedMcu(jpeg_decoder* decoder, const jpeg_plane* at, const ReducedPlan& plan)
{
    alignas(32) int32_t block[64];
    auto* values = reinterpret_cast<int16_t*>(block);
    jpeg_direct_state* st = jpeg_rec_direct_state(decoder);
    for (int32_t c = 0; c < plan.components; ++c) {
        const jpeg_plane& plane = at[c];
        const ReducedPart& part = plan.parts[c];
        const int32_t n = part.n;
        for (uint32_t by = 0; by < part.blocks_high; ++by) {
            uint8_t* row = plane.samples + static_cast<ptrdiff_t>(by) * n * plane.stride;
            for (uint32_t bx = 0; bx < part.blocks_wide; ++bx) {
                // After a failure the bit position inside the interval is lost: the rest waits for the restart.
                if (st->interval_failed != 0 ||
                    DecodeWords(decoder, st, plan.decode, part.dc, part.ac, c, values) < 1) {
                    for (int32_t k = 0; k <= c; ++k) {
                        for (uint32_t y = 0; y < plan.parts[k].mcu_high; ++y) {
                            std::memset(at[k].samples + static_cast<ptrdiff_t>(y) * at[k].stride, 128,
                                        plan.parts[k].mcu_wide);
                        }
                    }
                    return false;
                }
                // The products wrap as the buffered decoder's do.
                const auto dc =
                    static_cast<int32_t>(static_cast<uint32_t>(values[0]) * static_cast<uint32_t>(part.multiplier[0]));
                if (n == 1) {
                    // The 1 x 1 transform of the dequantised DC value.
                    row[bx] = jpeg_range_sample(plan.range_limit, dc >> 3);
                } else if (n < 8 && st->huff_state->blockEnd <= 1) {
                    // No AC value: the 4 x 4 and 2 x 2 transforms give the flat DC result,
                    // (4 dc + 16) >> 5 wrapping as their lanes do, at every sample.
                    const uint8_t sample =
                        jpeg_range_limit_value(static_cast<int32_t>((static_cast<uint32_t>(dc) << 2) + 16u) >> 5);
                    const uint32_t four = sample * 0x01010101u;
                    uint8_t* out = row + bx * n;
                    for (int32_t y = 0; y < n; ++y, out += plane.stride) {
                        if (n == 4) {
                            std::memcpy(out, &four, 4);
                        } else {
                            const auto two = static_cast<uint16_t>(four);
                            std::memcpy(out, &two, 2);
                        }
                    }
                } else if (n < 8) {
                    // Values only at zigzag 0 to 2 are those at natural 0, 1 and 8.
                    (st->huff_state->blockEnd <= 3 ? part.low : part.store)(values, part.multiplier, row + bx * n,
                                                                            plane.stride);
                } else {
                    part.transform(values, part.multiplier, block);
                    plan.store8(block, row + bx * n, plane.stride);
                }
            }
        }
    }
    return true;
}

}   // namespace

jpeg_status jpeg_decode_sequential_row(jpeg_decoder* decoder)
{
    const bool direct_mcus = DirectMcusApply(decoder);
    const int32_t nf = decoder->component_count;
    jpeg_plane planes[4]{};
    for (int32_t c = 0; c < nf; ++c) {
        const jpeg_line_buffer& buffer = decoder->line_buffers[c];
        planes[c].width = decoder->mcu_width[c];
        planes[c].height = decoder->mcu_height[c];
        planes[c].stride = static_cast<int32_t>(buffer.stride);
        planes[c].samples = buffer.base;
    }
    ReducedPlan plan{};
    const bool reduced_mcus = !direct_mcus && ReducedMcusApply(decoder, &plan);
    const int32_t per_row = decoder->mcus_per_row;
    int32_t mcu = 0;
    if (decoder->mcus_to_skip > 0) {
        if (decoder->mcus_to_skip <= per_row) {
            mcu = decoder->mcus_to_skip;
            decoder->mcus_to_skip = 0;
        } else {
            mcu = per_row;
            decoder->mcus_to_skip -= per_row;
        }
    }
    jpeg_status result = JPEG_OK;
    const uint32_t interval = decoder->restart_interval;
    while (mcu < per_row) {
        if (direct_mcus) {
            jpeg_plane at[4];
            for (int32_t c = 0; c < nf; ++c) {
                at[c] = planes[c];
                if (at[c].samples != nullptr) {
                    at[c].samples += static_cast<ptrdiff_t>(mcu) * decoder->mcu_width[c];
                }
            }
            if (!DirectMcu(decoder, at, decoder->store_block8_words)) {
                result = JPEG_WARN_DAMAGED_DATA;
            }
        } else if (reduced_mcus) {
            jpeg_plane at[4];
            for (int32_t c = 0; c < nf; ++c) {
                const uint32_t scale = decoder->component_scale[c] != 0 ? decoder->component_scale[c] : 1;
                at[c] = planes[c];
                at[c].samples += static_cast<ptrdiff_t>(mcu) * (decoder->mcu_width[c] / scale);
            }
            if (!ReducedMcu(decoder, at, plan)) {
                result = JPEG_WARN_DAMAGED_DATA;
            }
        }
        jpeg_block_entry* entry = decoder->block_entries;
        bool decoded = !direct_mcus && !reduced_mcus;
        for (int32_t c = 0; c < nf && decoded; ++c) {
            const WordsTransform words = decoder->transform_words[c];
            for (uint32_t b = 0; b < decoder->component_blocks[c]; ++b, ++entry) {
                const jpeg_status status = words != nullptr ? jpeg_direct_decode_block(decoder, entry, c)
                                                            : decoder->decode_unit(decoder, entry, c);
                if (status < 1) {
                    decoded = false;
                    result = JPEG_WARN_DAMAGED_DATA;
                    break;
                }
                if (words != nullptr) {
                    words(reinterpret_cast<const int16_t*>(entry->coefficients), decoder->multipliers[c].values,
                          entry->coefficients);
                } else {
                    decoder->transform[c](decoder, entry, c);
                }
            }
        }
        if (decoded) {
            jpeg_plane at[4];
            for (int32_t c = 0; c < nf; ++c) {
                const uint32_t scale = decoder->component_scale[c] != 0 ? decoder->component_scale[c] : 1;
                at[c] = planes[c];
                if (at[c].samples != nullptr) {
                    at[c].samples += static_cast<ptrdiff_t>(mcu) * (decoder->mcu_width[c] / scale);
                }
            }
            decoder->output_blocks(at, decoder, decoder->block_entries);
        }
        ++mcu;
        if (interval == 0 || static_cast<uint32_t>(++decoder->mcus_since_restart) < interval) {
            continue;
        }
        // After the image's last MCU nothing more is needed: data that ends there is whole.
        if (mcu == per_row && decoder->mcu_row_counter + 1 >= decoder->mcu_rows) {
            break;
        }
        decoder->mcus_since_restart = 0;
        decoder->restart(decoder);
        if (decoder->end_of_segment(decoder) >= 1) {
            continue;
        }
        result = JPEG_WARN_DAMAGED_DATA;
        const uint8_t before = decoder->end_of_scan_marker;
        if (decoder->skip_restarts(decoder, 1) < 1) {
            break;
        }
        const int64_t lost = static_cast<int64_t>(LostIntervals(before, decoder->end_of_scan_marker)) * interval;
        const int64_t left = per_row - mcu;
        if (lost <= left) {
            mcu += static_cast<int32_t>(lost);
        } else {
            decoder->mcus_to_skip = static_cast<int32_t>(lost - left);
            mcu = per_row;
        }
    }
    const uint32_t s = decoder->scale_denominator != 0 ? decoder->scale_denominator : 1;
    for (int32_t c = 0; c < nf; ++c) {
        if (decoder->resample[c] == nullptr || decoder->line_buffers[c].base == nullptr) {
            continue;
        }
        const uint32_t stride = decoder->line_buffers[c].stride;
        if (s == 1) {
            jpeg_plane plane{stride / decoder->ratio_h[c], decoder->mcu_height[c], static_cast<int32_t>(stride),
                             decoder->line_buffers[c].base};
            decoder->resample[c](&plane, &plane, decoder->ratio_h[c], decoder->ratio_v[c], decoder->resample_width[c],
                                 decoder->resample_lines[c]);
        } else {
            const uint32_t h = decoder->reduced_h[c] != 0 ? decoder->reduced_h[c] : 1;
            const uint32_t v = decoder->reduced_v[c] != 0 ? decoder->reduced_v[c] : 1;
            const uint32_t scale = decoder->component_scale[c] != 0 ? decoder->component_scale[c] : 1;
            jpeg_plane plane{stride / s / h, decoder->mcu_height[c] / scale, static_cast<int32_t>(stride),
                             decoder->line_buffers[c].base};
            decoder->resample[c](&plane, &plane, h, v, decoder->resample_width[c], decoder->resample_lines[c]);
        }
    }
    ++decoder->mcu_row_counter;
    return result;
}
