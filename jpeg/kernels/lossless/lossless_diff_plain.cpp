#include "lossless/lossless_diff.h"

#include <cstring>

namespace {

// Callers may hand an output at an odd address; a byte copy stores it without assuming alignment.
inline void store(uint16_t* d, uint32_t v)
{
    const uint16_t w = static_cast<uint16_t>(v);
    std::memcpy(d, &w, sizeof w);
}

kernel_status check_first_row(const uint16_t* samples, const uint16_t* diffs, int32_t width, int32_t precision,
                              int32_t point_transform)
{
    if (samples == nullptr || diffs == nullptr)
        return kernel_null_pointer;
    if (width < 1)
        return kernel_size_below_one;
    if (precision < 2 || precision > 16 || point_transform < 0)
        return kernel_out_of_range;
    return kernel_ok;
}

kernel_status check_row(const uint16_t* samples, const uint16_t* above, const uint16_t* diffs, int32_t width,
                        int32_t predictor)
{
    if (samples == nullptr || above == nullptr || diffs == nullptr)
        return kernel_null_pointer;
    if (width < 1)
        return kernel_size_below_one;
    if (predictor < 1 || predictor > 7)
        return kernel_out_of_range;
    return kernel_ok;
}

// The decoder's predictions exactly (unsigned operands, halved in 32 bits), so that a row
// differenced here reconstructs to itself, 16-bit samples past 32767 included.
template <int Predictor>
void diff_row(const uint16_t* s, const uint16_t* above, uint16_t* d, int32_t width)
{
    for (int32_t x = 1; x < width; ++x) {
        const uint32_t ra = s[x - 1], rb = above[x], rc = above[x - 1];
        uint32_t p;
        if constexpr (Predictor == 1)
            p = ra;
        else if constexpr (Predictor == 2)
            p = rb;
        else if constexpr (Predictor == 3)
            p = rc;
        else if constexpr (Predictor == 4)
            p = ra + rb - rc;
        else if constexpr (Predictor == 5)
            p = ra + static_cast<uint32_t>(static_cast<int32_t>(rb - rc) >> 1);
        else if constexpr (Predictor == 6)
            p = rb + static_cast<uint32_t>(static_cast<int32_t>(ra - rc) >> 1);
        else
            p = (ra + rb) >> 1;
        store(d + x, s[x] - p);
    }
}

void diff_row_scalar(const uint16_t* s, const uint16_t* above, uint16_t* d, int32_t width, int32_t predictor)
{
    store(d, s[0] - above[0]);
    switch (predictor) {
    case 1: diff_row<1>(s, above, d, width); break;
    case 2: diff_row<2>(s, above, d, width); break;
    case 3: diff_row<3>(s, above, d, width); break;
    case 4: diff_row<4>(s, above, d, width); break;
    case 5: diff_row<5>(s, above, d, width); break;
    case 6: diff_row<6>(s, above, d, width); break;
    default: diff_row<7>(s, above, d, width); break;
    }
}

}   // namespace

kernel_status DiffLosslessFirstRow(const uint16_t* samples, uint16_t* diffs, int32_t width, int32_t precision,
                                   int32_t point_transform)
{
    const kernel_status checked = check_first_row(samples, diffs, width, precision, point_transform);
    if (checked != kernel_ok)
        return checked;
    store(diffs, samples[0] - (1u << ((precision - point_transform - 1) & 31)));
    for (int32_t x = 1; x < width; ++x)
        store(diffs + x, samples[x] - samples[x - 1]);
    return kernel_ok;
}

kernel_status DiffLosslessRow(const uint16_t* samples, const uint16_t* above, uint16_t* diffs, int32_t width,
                              int32_t predictor)
{
    const kernel_status checked = check_row(samples, above, diffs, width, predictor);
    if (checked != kernel_ok)
        return checked;
    diff_row_scalar(samples, above, diffs, width, predictor);
    return kernel_ok;
}

template <int Level>
kernel_status DiffLosslessFirstRowSimd(const uint16_t* samples, uint16_t* diffs, int32_t width, int32_t precision,
                                       int32_t point_transform)
{
    const kernel_status checked = check_first_row(samples, diffs, width, precision, point_transform);
    if (checked != kernel_ok)
        return checked;
    DiffFirstRowKernel(samples, diffs, width, precision, point_transform);
    return kernel_ok;
}

template <int Level>
kernel_status DiffLosslessRowSimd(const uint16_t* samples, const uint16_t* above, uint16_t* diffs, int32_t width,
                                  int32_t predictor)
{
    const kernel_status checked = check_row(samples, above, diffs, width, predictor);
    if (checked != kernel_ok)
        return checked;
    if (predictor == 1)
        DiffRowPred1Kernel(samples, above, diffs, width);
    else
        diff_row_scalar(samples, above, diffs, width, predictor);
    return kernel_ok;
}

template kernel_status DiffLosslessFirstRowSimd<2>(const uint16_t*, uint16_t*, int32_t, int32_t, int32_t);
template kernel_status DiffLosslessFirstRowSimd<3>(const uint16_t*, uint16_t*, int32_t, int32_t, int32_t);
template kernel_status DiffLosslessFirstRowSimd<4>(const uint16_t*, uint16_t*, int32_t, int32_t, int32_t);
template kernel_status DiffLosslessFirstRowSimd<5>(const uint16_t*, uint16_t*, int32_t, int32_t, int32_t);
template kernel_status DiffLosslessRowSimd<2>(const uint16_t*, const uint16_t*, uint16_t*, int32_t, int32_t);
template kernel_status DiffLosslessRowSimd<3>(const uint16_t*, const uint16_t*, uint16_t*, int32_t, int32_t);
template kernel_status DiffLosslessRowSimd<4>(const uint16_t*, const uint16_t*, uint16_t*, int32_t, int32_t);
template kernel_status DiffLosslessRowSimd<5>(const uint16_t*, const uint16_t*, uint16_t*, int32_t, int32_t);

#if !(defined(__x86_64__) || defined(__i386__))
// Without SSE2 the kernels are the plain loops.
void DiffFirstRowKernel(const uint16_t* samples, uint16_t* diffs, int32_t width, int32_t precision,
                        int32_t point_transform)
{
    DiffLosslessFirstRow(samples, diffs, width, precision, point_transform);
}

void DiffRowPred1Kernel(const uint16_t* samples, const uint16_t* above, uint16_t* diffs, int32_t width)
{
    DiffLosslessRow(samples, above, diffs, width, 1);
}
#endif
