#include "huffman/huff_table_gen.h"

#include "memory/copy_fill.h"
#include "memory/zero_fill.h"

namespace {

constexpr int kSymbols = 257;
constexpr int kMaxLength = 32;

// The least non-zero frequency other than `skip`, the larger symbol on ties; -1 when none.
int least(const int64_t* freq, int skip)
{
    int found = -1;
    int64_t v = INT64_MAX;
    for (int i = 0; i < kSymbols; ++i)
        if (freq[i] != 0 && freq[i] <= v && i != skip) {
            v = freq[i];
            found = i;
        }
    return found;
}

}   // namespace

template <int Level>
kernel_status GenerateHuffTable(const int32_t* counts, uint8_t* bits, uint8_t* values)
{
    if (counts == nullptr || bits == nullptr || values == nullptr)
        return kernel_null_pointer;
    int32_t local[kSymbols];
    CopyBytes<Level>(counts, local, sizeof local);
    // Lengths are counted in 32 bits: 256 leaves may share one length before the limiting.
    int32_t codesize[kSymbols], others[kSymbols], lengths[kMaxLength + 1];
    ZeroFillBytes<Level>(codesize, sizeof codesize);
    ZeroFillBytes<Level>(lengths, sizeof lengths);
    FillWords32<Level>(0xFFFFFFFFu, others, kSymbols);

    // Sums in 64 bits: two counts near 2^31 would overflow 32.
    int64_t freq[kSymbols];
    bool any = false;
    for (int i = 0; i < kSymbols - 1; ++i) {
        if (local[i] < 0)
            return kernel_out_of_range;
        freq[i] = local[i];
        any = any || local[i] != 0;
    }
    if (!any) {
        // Only the reserved symbol: no code at all.
        uint8_t none[16] = {};
        CopyBytesChecked<Level>(none, bits, 16);
        return kernel_ok;
    }
    freq[kSymbols - 1] = 1;

    for (;;) {
        const int c1 = least(freq, -1);
        const int c2 = least(freq, c1);
        if (c2 < 0)
            break;
        freq[c1] += freq[c2];
        freq[c2] = 0;
        int c = c1;
        for (++codesize[c]; others[c] >= 0; ++codesize[c])
            c = others[c];
        others[c] = c2;
        c = c2;
        for (++codesize[c]; others[c] >= 0; ++codesize[c])
            c = others[c];
    }
    for (int i = 0; i < kSymbols; ++i) {
        if (codesize[i] > kMaxLength)
            return kernel_bad_huffman_table;
        if (codesize[i] != 0)
            ++lengths[codesize[i]];
    }
    // Limit to 16 bits: move pairs of the longest codes up, splitting a shorter code.
    for (int i = kMaxLength; i > 16; --i)
        while (lengths[i] > 0) {
            int j = i - 2;
            while (lengths[j] == 0)
                --j;
            lengths[i] -= 2;
            ++lengths[i - 1];
            lengths[j + 1] += 2;
            --lengths[j];
        }
    int longest = 16;
    while (lengths[longest] == 0)
        --longest;
    --lengths[longest];   // the reserved symbol's code

    uint8_t out[16];
    for (int i = 0; i < 16; ++i)
        out[i] = static_cast<uint8_t>(lengths[i + 1]);
    CopyBytesChecked<Level>(out, bits, 16);
    int p = 0;
    for (int len = 1; len <= kMaxLength; ++len)
        for (int s = 0; s < kSymbols - 1; ++s)
            if (codesize[s] == len)
                values[p++] = static_cast<uint8_t>(s);
    return kernel_ok;
}

template kernel_status GenerateHuffTable<0>(const int32_t*, uint8_t*, uint8_t*);
template kernel_status GenerateHuffTable<1>(const int32_t*, uint8_t*, uint8_t*);
template kernel_status GenerateHuffTable<2>(const int32_t*, uint8_t*, uint8_t*);
template kernel_status GenerateHuffTable<3>(const int32_t*, uint8_t*, uint8_t*);
template kernel_status GenerateHuffTable<4>(const int32_t*, uint8_t*, uint8_t*);
template kernel_status GenerateHuffTable<5>(const int32_t*, uint8_t*, uint8_t*);
