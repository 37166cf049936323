#include <cstring>

#include "jpeg/jpegdecode.h"
#include "jpeg/jpegmarkers.h"
#include "jpeg/jpegtables.h"

// ---- the bit reader ----

namespace {

// Tops the accumulator up to at least 16 bits; past the data or at a marker it pads with zeros.
jpeg_status Fill(jpeg_decoder* decoder)
{
    // Plain data bytes straight from the buffer, without the refill and marker tests.
    if (decoder->input_state > 0) {
        const uint8_t* in = decoder->input_buffer;
        int32_t at = decoder->buffer_position;
        const int32_t end = decoder->buffered;
        while (decoder->bit_count < 16 && at < end && in[at] != 0xFF) {
            decoder->bit_buffer = decoder->bit_buffer << 8 | in[at++];
            decoder->bit_count += 8;
        }
        decoder->buffer_position = at;
    }
    while (decoder->bit_count < 16) {
        if (decoder->input_state <= 0) {
            return jpeg_bits_pad(decoder);
        }
        const int32_t byte = jpeg_input_byte(decoder);
        if (byte < 0) {
            return jpeg_bits_pad(decoder);
        }
        if (byte == 0xFF) {
            int32_t next = 0;
            do {
                next = jpeg_input_byte(decoder);
            } while (next == 0xFF);
            if (next > 0) {
                decoder->pending_marker = static_cast<uint32_t>(next);
                decoder->input_state = JPEG_ERR_MARKER_IN_DATA;
            }
        }
        decoder->bit_buffer = decoder->bit_buffer << 8 | static_cast<uint32_t>(byte);
        decoder->bit_count += 8;
    }
    return decoder->entropy_status;
}

jpeg_status Fail(jpeg_decoder* decoder)
{
    if (decoder->entropy_status > 0) {
        decoder->entropy_status = JPEG_ERR_DATA;
    }
    return decoder->entropy_status;
}

// T.81 F.2.2.1: a value below half the range is negative.
int32_t Extend(int32_t v, int32_t s)
{
    return s == 0 ? 0 : v < (1 << (s - 1)) ? v - ((1 << s) - 1) : v;
}

const jpeg_huff_table* Table(jpeg_huff_table* tables, int32_t count, uint32_t selector)
{
    if (tables == nullptr || selector >= static_cast<uint32_t>(count) || tables[selector].lookahead == nullptr) {
        return nullptr;
    }
    return &tables[selector];
}

// Wrapping: hostile data may overflow, and that must stay defined.
int32_t Wrap(uint32_t value)
{
    return static_cast<int32_t>(value);
}

// The accumulator as the slow paths below hand it back; passed by value, so that a Reader's
// fields never leave registers.
struct Accumulator {
    uint64_t buffer;
    int32_t count;
    int32_t result;
};

// At least 16 valid bits: plain data bytes several at a time; everything else (0xFF, a refill of
// the input buffer, padding) goes through Fill, which sees the same bit count as a byte-wise
// reader once the data runs out, so padding and its failures come at the same bit. The result
// is 1, or 0 after a failure.
Accumulator TopUp(jpeg_decoder* decoder, uint64_t buffer, int32_t count)
{
    if (decoder->input_state > 0) {
        const uint8_t* in = decoder->input_buffer;
        int32_t at = decoder->buffer_position;
        const int32_t end = decoder->buffered;
        while (count <= 32 && end - at >= 4) {
            uint32_t word = 0;
            std::memcpy(&word, in + at, 4);
            word = __builtin_bswap32(word);
            // Stop before any 0xFF byte.
            if (((~word - 0x01010101u) & word & 0x80808080u) != 0) {
                break;
            }
            buffer = buffer << 32 | word;
            count += 32;
            at += 4;
        }
        while (count <= 56 && at < end && in[at] != 0xFF) {
            buffer = buffer << 8 | in[at++];
            count += 8;
        }
        decoder->buffer_position = at;
    }
    if (count >= 16) {
        return {buffer, count, 1};
    }
    decoder->bit_buffer = buffer;
    decoder->bit_count = count;
    const jpeg_status status = Fill(decoder);
    return {decoder->bit_buffer, decoder->bit_count, status >= 1 ? 1 : 0};
}

// Codes longer than the look-ahead; the 16 valid bits cover the longest code. The result is the
// symbol, or -1 after a failure.
Accumulator LongSymbol(jpeg_decoder* decoder, const jpeg_huff_table* table, uint64_t buffer, int32_t count,
                       int32_t length, int32_t code)
{
    const int32_t width = decoder->lookahead_bits;
    // No code begins with these bits: garbage must not decode as flat blocks.
    if (length != 0) {
        count -= width;
        for (int32_t k = width; k < 16; ++k) {
            --count;
            code = code << 1 | static_cast<int32_t>((buffer >> count) & 1u);
            if (code <= table->maxcode[k] && code >= table->mincode[k]) {
                return {buffer, count, table->values[table->cumulative[k] - table->mincode[k] + code]};
            }
        }
    }
    Fail(decoder);
    return {buffer, count, -1};
}

// The accumulator of one block decoder call, held in registers and written back on return.
class Reader {
public:
    explicit Reader(jpeg_decoder* decoder)
        : decoder_(decoder), buffer_(decoder->bit_buffer), count_(decoder->bit_count), width_(decoder->lookahead_bits)
    {
    }
    ~Reader()
    {
        decoder_->bit_buffer = buffer_;
        decoder_->bit_count = count_;
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // s bits (s <= 16) as an unsigned value, or -1 after a failure (the status says which).
    int32_t Bits(int32_t s)
    {
        if (count_ < s && !Top()) {
            return -1;
        }
        count_ -= s;
        return static_cast<int32_t>((buffer_ >> count_) & ((1u << s) - 1u));
    }

    // Tops up early, while plain bytes follow, so that a symbol and its extra bits usually need
    // no further test; padding still waits until bits are needed. False after a failure.
    bool Prime() { return count_ >= 32 || Top(); }

    // One bit: 0, 1, or -1 after a failure.
    int32_t Bit()
    {
        if (count_ < 1 && !Top()) {
            return -1;
        }
        --count_;
        return static_cast<int32_t>((buffer_ >> count_) & 1u);
    }

    // The next symbol, or -1 after a failure (a code that matches no length is a data error).
    int32_t Symbol(const jpeg_huff_table* table)
    {
        if (count_ < 16 && !Top()) {
            return -1;
        }
        const auto code = static_cast<uint32_t>(buffer_ >> (count_ - width_)) & ((1u << width_) - 1u);
        const jpeg_huff_lookahead entry = table->lookahead[code];
        if (static_cast<uint32_t>(entry.length - 1) < static_cast<uint32_t>(width_)) [[likely]] {
            count_ -= entry.length;
            return static_cast<int32_t>(entry.symbol);
        }
        const Accumulator after =
            LongSymbol(decoder_, table, buffer_, count_, entry.length, static_cast<int32_t>(code));
        buffer_ = after.buffer;
        count_ = after.count;
        return after.result;
    }

private:
    // Inline, so that the fields stay in registers across the call.
    [[gnu::always_inline]] bool Top()
    {
        const Accumulator after = TopUp(decoder_, buffer_, count_);
        buffer_ = after.buffer;
        count_ = after.count;
        return after.result != 0;
    }

    jpeg_decoder* decoder_;
    uint64_t buffer_;
    int32_t count_;
    int32_t width_;
};

// Adds the next DC difference to the component's prediction; false after a failure.
inline bool DcDifference(jpeg_decoder* decoder, Reader& reader, const jpeg_huff_table* dc, int32_t component)
{
    const int32_t s = reader.Symbol(dc);
    if (s < 0) {
        return false;
    }
    if (s > 0) {
        const int32_t v = reader.Bits(s);
        if (v < 0) {
            return false;
        }
        decoder->dc_pred[component] =
            Wrap(static_cast<uint32_t>(decoder->dc_pred[component]) + static_cast<uint32_t>(Extend(v, s)));
    }
    return true;
}

}   // namespace

jpeg_status jpeg_bits_pad(jpeg_decoder* decoder)
{
    const int32_t add = 16 - decoder->bit_count;
    if (add > 0) {
        decoder->bit_buffer <<= add;
        decoder->inserted_zeros += add;
        decoder->bit_count = 16;
    }
    if (decoder->inserted_zeros > 15 && decoder->entropy_status > 0) {
        decoder->entropy_status = decoder->input_state > 0 ? JPEG_ERR_DATA : decoder->input_state;
    }
    return decoder->entropy_status;
}

jpeg_status jpeg_setup_buffered_entropy(jpeg_decoder* decoder, int32_t lookahead_width)
{
    decoder->restart = &jpeg_entropy_restart;
    decoder->end_of_segment = &jpeg_read_scan_end_marker;
    decoder->skip_restarts = &jpeg_skip_restart_markers;
    decoder->lookahead_bits = lookahead_width;
    const jpeg_status status = jpeg_input_buffer_create(decoder);
    if (status < 1) {
        return status;
    }
    // The scan's tables get their look-ahead now, whatever the header left.
    decoder->tables_changed = 1;
    return decoder->restart(decoder);
}

jpeg_status jpeg_entropy_restart(jpeg_decoder* decoder)
{
    decoder->bit_buffer = 0;
    decoder->bit_count = 0;
    decoder->input_state = JPEG_OK;
    decoder->inserted_zeros = 0;
    for (int32_t& prediction : decoder->dc_pred) {
        prediction = 0;
    }
    decoder->entropy_status = JPEG_OK;
    decoder->eob_run = 0;
    if (decoder->frame_marker == 0xC2) {
        const uint32_t ah = decoder->scan.approximation >> 4;
        const bool dc = decoder->scan.ss == 0;
        decoder->decode_unit = ah == 0 ? (dc ? &jpeg_decode_dc_first : &jpeg_decode_ac_first)
                                       : (dc ? &jpeg_decode_dc_refine : &jpeg_decode_ac_refine);
    } else {
        decoder->decode_unit = &jpeg_decode_block_baseline;
    }
    if (decoder->tables_changed != 0) {
        const jpeg_status status = jpeg_rebuild_lookaheads(decoder, decoder->lookahead_bits);
        if (status < 1) {
            return status;
        }
        decoder->tables_changed = 0;
    }
    return JPEG_OK;
}

namespace {

// The AC coefficients of a sequential block. Without Store they are decoded and checked but not
// kept, for a component whose 1 x 1 transform reads only the DC value.
template <bool Store>
jpeg_status SequentialAc(jpeg_decoder* decoder, Reader& reader, const jpeg_huff_table* ac, jpeg_block_entry* entry,
                         const int32_t* multiplier)
{
    int32_t* block = entry->coefficients;
    const uint8_t* natural = decoder->natural_order;
    entry->count = 64;
    for (int32_t k = 1; k < 64; ++k) {
        if (!reader.Prime()) {
            return decoder->entropy_status;
        }
        const int32_t rs = reader.Symbol(ac);
        if (rs < 0) {
            return decoder->entropy_status;
        }
        if (rs == 0) {
            entry->count = k;
            return decoder->entropy_status;
        }
        const int32_t size = rs & 15;
        int32_t v = 0;
        if (size != 0) {
            v = reader.Bits(size);
            if (v < 0) {
                return decoder->entropy_status;
            }
            v = Extend(v, size);
        }
        k += rs >> 4;
        if (k > 63) {
            return Fail(decoder);
        }
        if constexpr (Store) {
            const int32_t p = natural[k];
            block[p] = Wrap(static_cast<uint32_t>(v) * static_cast<uint32_t>(multiplier[p]));
        }
    }
    return decoder->entropy_status;
}

}   // namespace

jpeg_status jpeg_decode_block_baseline(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component)
{
    int32_t* block = entry->coefficients;
    const bool dc_only = decoder->transform[component] == &jpeg_idct_1x1;
    if (!dc_only) {
        std::memset(block, 0, 64 * sizeof(int32_t));
    }
    const jpeg_huff_table* dc = Table(decoder->dc_tables, decoder->dc_count, decoder->dc_selector[component]);
    const jpeg_huff_table* ac = Table(decoder->ac_tables, decoder->ac_count, decoder->ac_selector[component]);
    if (dc == nullptr || ac == nullptr) {
        return Fail(decoder);
    }
    const int32_t* multiplier = decoder->multipliers[component].values;
    Reader reader(decoder);
    if (!DcDifference(decoder, reader, dc, component)) {
        return decoder->entropy_status;
    }
    block[0] = Wrap(static_cast<uint32_t>(decoder->dc_pred[component]) * static_cast<uint32_t>(multiplier[0]));
    return dc_only ? SequentialAc<false>(decoder, reader, ac, entry, multiplier)
                   : SequentialAc<true>(decoder, reader, ac, entry, multiplier);
}

jpeg_status jpeg_decode_dc_first(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component)
{
    const jpeg_huff_table* dc = Table(decoder->dc_tables, decoder->dc_count, decoder->dc_selector[component]);
    if (dc == nullptr) {
        return Fail(decoder);
    }
    Reader reader(decoder);
    if (!DcDifference(decoder, reader, dc, component)) {
        return decoder->entropy_status;
    }
    const uint32_t al = decoder->scan.approximation & 15u;
    entry->coefficients[0] = Wrap(static_cast<uint32_t>(decoder->dc_pred[component]) << al);
    return decoder->entropy_status;
}

jpeg_status jpeg_decode_dc_refine(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t)
{
    Reader reader(decoder);
    const int32_t bit = reader.Bit();
    if (bit < 0) {
        return decoder->entropy_status;
    }
    if (bit != 0) {
        entry->coefficients[0] |= 1 << (decoder->scan.approximation & 15u);
    }
    return decoder->entropy_status;
}

namespace {

// Progressive frames keep, in the two spare words of each block entry, which AC coefficients are
// nonzero (bit k for zigzag position k), so that refinement scans visit only those. Coefficients
// only ever become nonzero there: a first scan stores nonzero values and a correction moves a
// value away from zero.
uint64_t NonzeroMask(const jpeg_block_entry* entry)
{
    return static_cast<uint64_t>(static_cast<uint32_t>(entry->extra)) << 32 | static_cast<uint32_t>(entry->count);
}

void SetNonzeroMask(jpeg_block_entry* entry, uint64_t mask)
{
    entry->count = static_cast<int32_t>(static_cast<uint32_t>(mask));
    entry->extra = static_cast<int32_t>(static_cast<uint32_t>(mask >> 32));
}

// Zigzag positions first..last (last <= 63); none when first > last.
uint64_t Band(int32_t first, int32_t last)
{
    return first > last ? 0 : (~0ull << first) & (~0ull >> (63 - last));
}

}   // namespace

jpeg_status jpeg_decode_ac_first(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component)
{
    if (decoder->eob_run > 0) {
        --decoder->eob_run;
        return decoder->entropy_status;
    }
    const jpeg_huff_table* ac = Table(decoder->ac_tables, decoder->ac_count, decoder->ac_selector[component]);
    if (ac == nullptr) {
        return Fail(decoder);
    }
    int32_t* block = entry->coefficients;
    const uint8_t* natural = decoder->natural_order;
    const uint32_t al = decoder->scan.approximation & 15u;
    const int32_t se = decoder->scan.se;
    uint64_t nonzero = NonzeroMask(entry);
    Reader reader(decoder);
    for (int32_t k = decoder->scan.ss; k <= se; ++k) {
        if (!reader.Prime()) {
            break;
        }
        const int32_t rs = reader.Symbol(ac);
        if (rs < 0) {
            break;
        }
        const int32_t s = rs & 15;
        const int32_t r = rs >> 4;
        if (s != 0) {
            k += r;
            if (k > 63) {
                Fail(decoder);
                break;
            }
            const int32_t v = reader.Bits(s);
            if (v < 0) {
                break;
            }
            const int32_t value = Wrap(static_cast<uint32_t>(Extend(v, s)) << al);
            block[natural[k]] = value;
            nonzero |= static_cast<uint64_t>(value != 0) << k;
        } else if (r == 15) {
            k += 15;
        } else {
            int32_t run = (1 << r) - 1;
            if (r > 0) {
                const int32_t b = reader.Bits(r);
                if (b < 0) {
                    break;
                }
                run += b;
            }
            decoder->eob_run = run;
            break;
        }
    }
    SetNonzeroMask(entry, nonzero);
    return decoder->entropy_status;
}

namespace {

// One correction bit for each nonzero coefficient of `corrections` in zigzag order: adds p1 or
// m1 by its sign when the bit is 1 and the magnitude lacks p1. False after a failure.
inline bool Correct(Reader& reader, int32_t* block, const uint8_t* natural, uint64_t corrections, int32_t p1,
                    int32_t m1)
{
    for (; corrections != 0; corrections &= corrections - 1) {
        int32_t* coefficient = block + natural[__builtin_ctzll(corrections)];
        const int32_t bit = reader.Bit();
        if (bit < 0) {
            return false;
        }
        if (bit != 0 && (*coefficient & p1) == 0) {
            *coefficient =
                Wrap(static_cast<uint32_t>(*coefficient) + static_cast<uint32_t>(*coefficient >= 0 ? p1 : m1));
        }
    }
    return true;
}

// The refinement of one block; the caller keeps the nonzero mask.
jpeg_status RefineBlock(jpeg_decoder* decoder, const jpeg_huff_table* ac, int32_t* block, uint64_t& nonzero)
{
    const uint8_t* natural = decoder->natural_order;
    const uint32_t al = decoder->scan.approximation & 15u;
    const auto p1 = static_cast<int32_t>(1u << al);
    const auto m1 = static_cast<int32_t>(~0u << al);
    const int32_t se = decoder->scan.se;
    int32_t k = decoder->scan.ss;
    Reader reader(decoder);
    if (decoder->eob_run == 0) {
        for (; k <= se; ++k) {
            if (!reader.Prime()) {
                return decoder->entropy_status;
            }
            const int32_t rs = reader.Symbol(ac);
            if (rs < 0) {
                return decoder->entropy_status;
            }
            const int32_t r = rs >> 4;
            const int32_t s = rs & 15;
            int32_t value = 0;
            if (s != 0) {
                if (s != 1) {
                    return Fail(decoder);
                }
                const int32_t bit = reader.Bit();
                if (bit < 0) {
                    return decoder->entropy_status;
                }
                value = bit != 0 ? p1 : m1;
            } else if (r != 15) {
                decoder->eob_run = 1 << r;
                if (r > 0) {
                    const int32_t b = reader.Bits(r);
                    if (b < 0) {
                        return decoder->entropy_status;
                    }
                    decoder->eob_run += b;
                }
                break;
            }
            // The run skips r zero coefficients and stops at the next one, correcting the
            // nonzero ones on the way.
            uint64_t zeros = ~nonzero & Band(k, se);
            for (int32_t i = 0; i < r && zeros != 0; ++i) {
                zeros &= zeros - 1;
            }
            const int32_t stop = zeros != 0 ? __builtin_ctzll(zeros) : se + 1;
            if (!Correct(reader, block, natural, nonzero & Band(k, stop - 1), p1, m1)) {
                return decoder->entropy_status;
            }
            k = stop;
            if (value != 0) {
                if (k > se) {
                    return Fail(decoder);
                }
                block[natural[k]] = value;
                nonzero |= 1ull << k;
            }
        }
    }
    if (decoder->eob_run > 0) {
        if (!Correct(reader, block, natural, nonzero & Band(k, se), p1, m1)) {
            return decoder->entropy_status;
        }
        --decoder->eob_run;
    }
    return decoder->entropy_status;
}

}   // namespace

jpeg_status jpeg_decode_ac_refine(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component)
{
    const jpeg_huff_table* ac = Table(decoder->ac_tables, decoder->ac_count, decoder->ac_selector[component]);
    if (ac == nullptr) {
        return Fail(decoder);
    }
    uint64_t nonzero = NonzeroMask(entry);
    const jpeg_status status = RefineBlock(decoder, ac, entry->coefficients, nonzero);
    SetNonzeroMask(entry, nonzero);
    return status;
}

// ---- the progressive coefficient pass and its rows ----

namespace {

uint32_t CeilDiv(uint64_t a, uint64_t b)
{
    return static_cast<uint32_t>((a + b - 1) / b);
}

// The restart due before the next MCU of a scan: false when its marker was not there.
bool RestartDue(jpeg_decoder* decoder, int32_t& count)
{
    const auto interval = static_cast<int32_t>(decoder->restart_interval);
    if (interval == 0 || count < interval) {
        return true;
    }
    decoder->restart(decoder);
    if (decoder->end_of_segment(decoder) < 1) {
        return false;
    }
    count = 0;
    return true;
}

// Decode failures that end only this scan: a marker in the data, or the data ran out (the
// marker reading after the scan then tells what happened).
bool EndsScanOnly(const jpeg_decoder* decoder, jpeg_status status)
{
    return status == JPEG_ERR_MARKER_IN_DATA ||
           (decoder->input_state > 0 && decoder->bytes_left == 0 && decoder->buffer_position >= decoder->buffered);
}

// One scan over the block entries: 1, or the failure that ends it.
jpeg_status WalkScan(jpeg_decoder* decoder)
{
    const int32_t nf = decoder->component_count;
    const auto per_row = static_cast<uint32_t>(decoder->mcus_per_row);
    const uint32_t per_mcu = decoder->blocks_per_mcu;
    jpeg_block_entry* entries = decoder->block_entries;
    int32_t count = 0;
    if (decoder->scan.count == 1) {
        // One component: its own blocks in raster order, each block an MCU.
        int32_t c = 0;
        while (c < nf && decoder->in_scan[c] == 0) {
            ++c;
        }
        if (c == nf) {
            return JPEG_ERR_SYNTAX;
        }
        uint32_t offset = 0;
        for (int32_t i = 0; i < c; ++i) {
            offset += decoder->component_blocks[i];
        }
        const uint32_t h = decoder->blocks_h[c];
        const uint32_t v = decoder->blocks_v[c];
        uint32_t hmax = 1;
        uint32_t vmax = 1;
        for (int32_t i = 0; i < nf; ++i) {
            hmax = decoder->blocks_h[i] > hmax ? decoder->blocks_h[i] : hmax;
            vmax = decoder->blocks_v[i] > vmax ? decoder->blocks_v[i] : vmax;
        }
        const uint32_t columns = CeilDiv(CeilDiv(static_cast<uint64_t>(decoder->frame.samples) * h, hmax), 8);
        // A frame of 0 lines takes its height from the DNL segment, read at header time.
        const uint64_t lines = decoder->frame.lines != 0 ? decoder->frame.lines : decoder->height;
        const uint32_t rows = CeilDiv(CeilDiv(lines * v, vmax), 8);
        const auto unit = decoder->decode_unit;
        for (uint32_t by = 0; by < rows; ++by) {
            // Block x of this row lies in MCU x / h at place x % h, counted along without dividing.
            jpeg_block_entry* mcu = entries + static_cast<uint64_t>(by / v) * per_row * per_mcu + offset + (by % v) * h;
            uint32_t place = 0;
            for (uint32_t bx = 0; bx < columns; ++bx) {
                if (!RestartDue(decoder, count)) {
                    break;
                }
                const jpeg_status status = unit(decoder, mcu + place, c);
                if (status < 1) {
                    return status;
                }
                ++count;
                if (++place == h) {
                    place = 0;
                    mcu += per_mcu;
                }
            }
        }
        return JPEG_OK;
    }
    const auto mcus = static_cast<uint64_t>(decoder->mcu_rows) * per_row;
    for (uint64_t row = 0; row < static_cast<uint64_t>(decoder->mcu_rows); ++row) {
        for (uint32_t x = 0; x < per_row; ++x) {
            if (!RestartDue(decoder, count)) {
                break;
            }
            jpeg_block_entry* entry = entries + (row * per_row + x) * per_mcu;
            for (int32_t c = 0; c < nf; ++c) {
                for (uint32_t b = 0; b < decoder->component_blocks[c]; ++b, ++entry) {
                    if (decoder->in_scan[c] == 0) {
                        continue;
                    }
                    const jpeg_status status = decoder->decode_unit(decoder, entry, c);
                    if (status < 1) {
                        return status;
                    }
                }
            }
            ++count;
        }
    }
    (void)mcus;
    return JPEG_OK;
}

// A block without AC coefficients, as the full-size transform leaves it: its columns and rows
// all take the all-zero shortcut, so every value is the dequantised DC >> 13.
void FlatBlock(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component)
{
    int32_t* block = entry->coefficients;
    const uint32_t dc =
        static_cast<uint32_t>(block[0]) * static_cast<uint32_t>(decoder->multipliers[component].values[0]);
    const int32_t value = Wrap(dc) >> 13;
    for (int32_t k = 0; k < 64; ++k) {
        block[k] = value;
    }
}

}   // namespace

jpeg_status jpeg_decode_progressive_scans(jpeg_decoder* decoder)
{
    for (int32_t scans = 1;; ++scans) {
        if (scans > JPEG_MAX_PROGRESSIVE_SCANS) {
            decoder->block_index = 0;
            return JPEG_ERR_SYNTAX;
        }
        const jpeg_status walked = WalkScan(decoder);
        if (walked < 1 && !EndsScanOnly(decoder, walked)) {
            decoder->block_index = 0;
            return walked;
        }
        const jpeg_status next = jpeg_next_scan(decoder);
        if (next < 1) {
            decoder->block_index = 0;
            return decoder->last_marker == 0xD9 ? JPEG_OK : next;
        }
        const jpeg_status restarted = decoder->restart(decoder);
        if (restarted < 1) {
            decoder->block_index = 0;
            return restarted;
        }
    }
}

jpeg_status jpeg_decode_progressive_row(jpeg_decoder* decoder)
{
    if (decoder->block_index < 0) {
        const jpeg_status status = jpeg_decode_progressive_scans(decoder);
        if (status < 1) {
            return status;
        }
    }
    const int32_t nf = decoder->component_count;
    const auto per_row = static_cast<uint32_t>(decoder->mcus_per_row);
    jpeg_block_entry* entry =
        decoder->block_entries + static_cast<uint64_t>(decoder->mcu_row_counter) * per_row * decoder->blocks_per_mcu;
    // Loaded once here rather than after every call, which might have written the record.
    void (*transform[4])(jpeg_decoder*, jpeg_block_entry*, int32_t){};
    for (int32_t c = 0; c < nf; ++c) {
        transform[c] = decoder->transform[c];
    }
    for (uint32_t mcu = 0; mcu < per_row; ++mcu) {
        jpeg_block_entry* first = entry;
        for (int32_t c = 0; c < nf; ++c) {
            for (uint32_t b = 0; b < decoder->component_blocks[c]; ++b, ++entry) {
                if (NonzeroMask(entry) == 0) {
                    FlatBlock(decoder, entry, c);
                } else {
                    transform[c](decoder, entry, c);
                }
            }
        }
        jpeg_plane at[4]{};
        for (int32_t c = 0; c < nf; ++c) {
            const jpeg_line_buffer& buffer = decoder->line_buffers[c];
            at[c].width = decoder->mcu_width[c];
            at[c].height = decoder->mcu_height[c];
            at[c].stride = static_cast<int32_t>(buffer.stride);
            at[c].samples =
                buffer.base != nullptr ? buffer.base + static_cast<ptrdiff_t>(mcu) * decoder->mcu_width[c] : nullptr;
        }
        decoder->output_blocks(at, decoder, first);
        decoder->block_index += static_cast<int32_t>(decoder->blocks_per_mcu);
    }
    for (int32_t c = 0; c < nf; ++c) {
        if (decoder->resample[c] != nullptr && decoder->line_buffers[c].base != nullptr) {
            jpeg_plane plane{decoder->line_buffers[c].stride / decoder->ratio_h[c], decoder->mcu_height[c],
                             static_cast<int32_t>(decoder->line_buffers[c].stride), decoder->line_buffers[c].base};
            decoder->resample[c](&plane, &plane, decoder->ratio_h[c], decoder->ratio_v[c], decoder->resample_width[c],
                                 decoder->resample_lines[c]);
        }
    }
    ++decoder->mcu_row_counter;
    return JPEG_OK;
}
