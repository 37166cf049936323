#include "jpeg/jpegfastlossless.h"

#include <bit>
#include <cstring>

#include "lossless/lossless_predict.h"

namespace {

constexpr int16_t kLong = 0xFF;

// The s extra bits as a signed difference; without branches, s 0 to 16.
inline int32_t Extend(uint32_t bits, int32_t s)
{
    const uint32_t half = (1u << s) >> 1;
    const int32_t negative = static_cast<int32_t>(bits - half) >> 31;
    return static_cast<int32_t>(bits) + (negative & (1 - (1 << s)));
}

// A 64-bit window filled from the top; `stuffed` remembers which of the last loaded bytes was
// 0xFF (and so took two input bytes), so that the position can be set back at the row's end.
struct Reader {
    const uint8_t* p;
    uint64_t window = 0;
    int32_t bits = 0;
    uint32_t stuffed = 0;

    // At least 32 bits in the window afterwards: a difference takes at most 31.
    [[gnu::always_inline]] void Fill()
    {
        if (bits >= 32) {
            return;
        }
        uint32_t four = 0;
        std::memcpy(&four, p, 4);
        const uint32_t inverted = ~four;
        if (((inverted - 0x01010101u) & ~inverted & 0x80808080u) == 0) {
            // No 0xFF among the four: one load instead of four.
            if constexpr (std::endian::native == std::endian::little) {
                four = __builtin_bswap32(four);
            }
            window |= static_cast<uint64_t>(four) << (32 - bits);
            bits += 32;
            p += 4;
            stuffed <<= 4;
            return;
        }
        while (bits <= 56) {
            const uint8_t b = *p;
            const uint32_t ff = b == 0xFF ? 1 : 0;
            p += 1 + ff;
            stuffed = stuffed << 1 | ff;
            window |= static_cast<uint64_t>(b) << (56 - bits);
            bits += 8;
        }
    }
    void Skip(int32_t n)
    {
        window <<= n;
        bits -= n;
    }
    uint32_t Top(int32_t n) const { return static_cast<uint32_t>(window >> (64 - n)); }
};

void Resume(Reader& reader, const jpeg_fast_tables* block)
{
    reader.p = block->position;
    reader.Fill();
    reader.Skip(block->bit_position);
}

void Suspend(const Reader& reader, jpeg_fast_tables* block)
{
    const int32_t whole = reader.bits / 8;
    const int32_t rest = reader.bits % 8;
    const uint32_t mask = whole >= 32 ? ~0u : (1u << whole) - 1;
    const uint8_t* p = reader.p - whole - std::popcount(reader.stuffed & mask);
    if (rest != 0) {
        p -= 1 + ((reader.stuffed >> whole) & 1);
    }
    block->position = p;
    block->bit_position = rest != 0 ? 8 - rest : 0;
}

// One difference; false for a category above 16. Inlined into the row loops: called, it keeps
// the reader in memory, and the call took half of a row's time.
[[gnu::always_inline]] inline bool Decode(Reader& reader, const jpeg_fast_table& t, uint16_t* difference)
{
    reader.Fill();
    const uint32_t index = reader.Top(JPEG_FAST_BITS);
    const int32_t length = t.length[index];
    if (length <= JPEG_FAST_BITS) {
        *difference = static_cast<uint16_t>(t.value[index]);
        reader.Skip(length);
        return true;
    }
    int32_t total = length;
    int32_t s = t.category[index];
    if (length == kLong) {
        const uint32_t second = static_cast<uint32_t>(reader.window >> 48) & 0xFF;
        s = t.category2[second];
        if (s > 16) {
            return false;
        }
        total = 8 + t.length2[second];
    }
    if (s == 16) {
        reader.Skip(total - 16);
        *difference = 32768;
        return true;
    }
    const uint32_t bits = reader.Top(total) & ((1u << s) - 1);
    reader.Skip(total);
    *difference = static_cast<uint16_t>(Extend(bits, s));
    return true;
}

template <int Predictor>
int32_t PredictedRow(Reader& reader, const jpeg_fast_table& t, const uint16_t* above, uint16_t* out, int32_t samples)
{
    uint16_t d = 0;
    if (!Decode(reader, t, &d)) {
        return -2;
    }
    uint32_t ra = static_cast<uint16_t>(d + above[0]);
    uint32_t rc = above[0];
    out[0] = static_cast<uint16_t>(ra);
    for (int32_t x = 1; x < samples; ++x) {
        if (!Decode(reader, t, &d)) {
            return -2;
        }
        const uint32_t rb = above[x];
        ra = lossless_next_sample<Predictor>(ra, rb, rc, d);
        out[x] = static_cast<uint16_t>(ra);
        rc = rb;
    }
    return 0;
}

}   // namespace

uint64_t jpeg_fast_tables_size(int32_t count, const uint32_t* symbol_counts)
{
    uint64_t size = sizeof(jpeg_fast_tables);
    for (int32_t i = 0; i < count && i < 16; ++i) {
        size += symbol_counts[i] != 0 ? sizeof(jpeg_fast_table) : 0;
    }
    return size;
}

int32_t jpeg_fast_table_fill(const uint8_t* lengths, const uint16_t* codes, const uint8_t* symbols, int32_t n,
                             jpeg_fast_table* t)
{
    constexpr int32_t kBits = JPEG_FAST_BITS;
    for (int32_t i = 0; i < (1 << kBits); ++i) {
        t->length[i] = kLong;
        t->category[i] = kLong;
        t->value[i] = 0;
    }
    for (int32_t i = 0; i < 256; ++i) {
        t->length2[i] = kLong;
        t->category2[i] = kLong;
    }
    bool taken[256] = {};
    for (int32_t k = 0; k < n; ++k) {
        const int32_t l = lengths[k];
        const int32_t s = symbols[k];
        if (l <= kBits) {
            const int32_t first = codes[k] << (kBits - l);
            for (int32_t index = first; index < first + (1 << (kBits - l)); ++index) {
                t->length[index] = static_cast<int16_t>(l + s);
                t->category[index] = static_cast<int16_t>(s);
                if (l + s <= kBits) {
                    const uint32_t bits = (static_cast<uint32_t>(index) >> (kBits - l - s)) & ((1u << s) - 1);
                    t->value[index] = static_cast<int16_t>(Extend(bits, s));
                }
            }
            continue;
        }
        // Long codes: the bits after the first eight, left-aligned, must not overlap another's.
        const int32_t first = (codes[k] & ((1 << (l - 8)) - 1)) << (16 - l);
        const int32_t span = 1 << (16 - l);
        for (int32_t index = first; index < first + span; ++index) {
            if (taken[index]) {
                return -3;
            }
            taken[index] = true;
            t->length2[index] = static_cast<int16_t>(l - 8 + s);
            t->category2[index] = static_cast<int16_t>(s);
        }
    }
    return 0;
}

int32_t jpeg_fast_tables_build(int32_t count, const uint32_t* symbol_counts, const uint8_t* const* values,
                               const uint8_t* const* code_counts, jpeg_fast_tables* block)
{
    if (block == nullptr) {
        return -1;
    }
    block->bit_position = 0;
    block->position = nullptr;
    block->first_column = 0;
    auto* storage = reinterpret_cast<jpeg_fast_table*>(block + 1);
    for (int32_t slot = 0; slot < count && slot < 16; ++slot) {
        block->tables[slot] = nullptr;
        const uint32_t n = symbol_counts[slot];
        if (n == 0) {
            continue;
        }
        uint8_t lengths[256];
        uint16_t codes[256];
        uint32_t k = 0;
        uint32_t code = 0;
        for (int32_t l = 1; l <= 16; ++l) {
            for (uint32_t j = 0; j < code_counts[slot][l - 1]; ++j, ++k, ++code) {
                if (k >= n || k >= 256) {
                    return -2;
                }
                if (code >= (1u << l) || values[slot][k] > 16) {
                    return -3;
                }
                lengths[k] = static_cast<uint8_t>(l);
                codes[k] = static_cast<uint16_t>(code);
            }
            code <<= 1;
        }
        block->tables[slot] = storage;
        if (jpeg_fast_table_fill(lengths, codes, values[slot], static_cast<int32_t>(k), storage) != 0) {
            return -3;
        }
        ++storage;
    }
    return 0;
}

const uint8_t** jpeg_fast_tables_position(jpeg_fast_tables* block)
{
    return &block->position;
}

int32_t jpeg_fast_bits_reset(jpeg_fast_tables* block)
{
    block->bit_position = 0;
    block->first_column = 0;
    return 0;
}

int32_t jpeg_fast_lossless_row_p1(int32_t samples, int32_t table, jpeg_fast_tables* block, uint16_t* out,
                                  int32_t* first_row)
{
    const jpeg_fast_table& t = *block->tables[table];
    Reader reader{block->position};
    Resume(reader, block);
    uint16_t d = 0;
    if (!Decode(reader, t, &d)) {
        return -2;
    }
    uint16_t sample = static_cast<uint16_t>(d + (*first_row != 0 ? 32768 : block->first_column));
    *first_row = 0;
    out[0] = sample;
    for (int32_t x = 1; x < samples; ++x) {
        if (!Decode(reader, t, &d)) {
            return -2;
        }
        sample = static_cast<uint16_t>(sample + d);
        out[x] = sample;
    }
    block->first_column = out[0];
    Suspend(reader, block);
    return 0;
}

int32_t jpeg_fast_lossless_diffs(int32_t samples, int32_t table, jpeg_fast_tables* block, uint16_t* out)
{
    const jpeg_fast_table& t = *block->tables[table];
    Reader reader{block->position};
    Resume(reader, block);
    for (int32_t x = 0; x < samples; ++x) {
        if (!Decode(reader, t, out + x)) {
            return -2;
        }
    }
    Suspend(reader, block);
    return 0;
}

int32_t jpeg_fast_lossless_row_predicted(int32_t samples, int32_t table, jpeg_fast_tables* block, const uint16_t* above,
                                         uint16_t* out, int32_t predictor)
{
    const jpeg_fast_table& t = *block->tables[table];
    Reader reader{block->position};
    Resume(reader, block);
    int32_t result = 0;
    switch (predictor) {
    case 1: result = PredictedRow<1>(reader, t, above, out, samples); break;
    case 2: result = PredictedRow<2>(reader, t, above, out, samples); break;
    case 3: result = PredictedRow<3>(reader, t, above, out, samples); break;
    case 4: result = PredictedRow<4>(reader, t, above, out, samples); break;
    case 5: result = PredictedRow<5>(reader, t, above, out, samples); break;
    case 6: result = PredictedRow<6>(reader, t, above, out, samples); break;
    default: result = PredictedRow<7>(reader, t, above, out, samples); break;
    }
    if (result == 0) {
        Suspend(reader, block);
    }
    return result;
}
