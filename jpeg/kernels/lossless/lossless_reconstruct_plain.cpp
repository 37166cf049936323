#include "lossless/lossless_reconstruct.h"

#include "lossless/lossless_predict.h"

namespace {

inline uint16_t initial_prediction(int32_t precision, int32_t point_transform)
{
    return static_cast<uint16_t>(1u << ((precision - point_transform - 1) & 31));
}

template <int Predictor>
void predict_row(const uint16_t* diff, const uint16_t* above, uint16_t* out, int32_t samples)
{
    // Ra and Rc stay in registers: reading Ra back from the row just stored would put a
    // store-to-load forward on the serial path of every sample.
    uint32_t ra = out[0], rc = above[0];
    for (int32_t x = 1; x < samples; ++x) {
        const uint32_t rb = above[x];
        ra = lossless_next_sample<Predictor>(ra, rb, rc, diff[x]);
        out[x] = static_cast<uint16_t>(ra);
        rc = rb;
    }
}

kernel_status check_first_row(const uint16_t* diff, const uint16_t* out, int32_t samples, int32_t precision,
                              int32_t point_transform)
{
    if (diff == nullptr || out == nullptr)
        return kernel_null_pointer;
    if (samples < 1)
        return kernel_size_below_one;
    if (precision < 2 || precision > 16 || point_transform < 0)
        return kernel_out_of_range;
    return kernel_ok;
}

kernel_status check_row(const uint16_t* diff, const uint16_t* above, const uint16_t* out, int32_t samples,
                        int32_t predictor)
{
    if (diff == nullptr || above == nullptr || out == nullptr)
        return kernel_null_pointer;
    if (samples < 1)
        return kernel_size_below_one;
    if (predictor < 1 || predictor > 7)
        return kernel_out_of_range;
    return kernel_ok;
}

}   // namespace

void ReconstructRowScalar(const uint16_t* diff, const uint16_t* above, uint16_t* out, int32_t samples,
                          int32_t predictor)
{
    out[0] = static_cast<uint16_t>(diff[0] + above[0]);
    switch (predictor) {
    case 1: predict_row<1>(diff, above, out, samples); break;
    case 2: predict_row<2>(diff, above, out, samples); break;
    case 3: predict_row<3>(diff, above, out, samples); break;
    case 4: predict_row<4>(diff, above, out, samples); break;
    case 5: predict_row<5>(diff, above, out, samples); break;
    case 6: predict_row<6>(diff, above, out, samples); break;
    default: predict_row<7>(diff, above, out, samples); break;
    }
}

kernel_status ReconstructLosslessFirstRow(const uint16_t* diff, uint16_t* out, int32_t samples, int32_t precision,
                                          int32_t point_transform)
{
    const kernel_status checked = check_first_row(diff, out, samples, precision, point_transform);
    if (checked != kernel_ok)
        return checked;
    uint16_t prev = static_cast<uint16_t>(diff[0] + initial_prediction(precision, point_transform));
    out[0] = prev;
    for (int32_t x = 1; x < samples; ++x)
        out[x] = prev = static_cast<uint16_t>(diff[x] + prev);
    return kernel_ok;
}

kernel_status ReconstructLosslessRow(const uint16_t* diff, const uint16_t* above, uint16_t* out, int32_t samples,
                                     int32_t predictor)
{
    const kernel_status checked = check_row(diff, above, out, samples, predictor);
    if (checked != kernel_ok)
        return checked;
    ReconstructRowScalar(diff, above, out, samples, predictor);
    return kernel_ok;
}

#if !defined(__x86_64__) && !defined(__i386__)
// Other processors: running sums nine samples a pass (x86 has lossless_reconstruct_sse2.cpp).
void ReconstructFirstRowKernel(const uint16_t* diff, uint16_t* out, int32_t samples, int32_t precision,
                               int32_t point_transform)
{
    uint32_t prev = static_cast<uint16_t>(diff[0] + initial_prediction(precision, point_transform));
    out[0] = static_cast<uint16_t>(prev);
    int32_t x = 1;
    for (; x + 9 <= samples; x += 9)
        for (int32_t i = 0; i < 9; ++i)
            out[x + i] = static_cast<uint16_t>(prev += diff[x + i]);
    for (; x < samples; ++x)
        out[x] = static_cast<uint16_t>(prev += diff[x]);
}

void ReconstructRowPred1Kernel(const uint16_t* diff, const uint16_t* above, uint16_t* out, int32_t samples)
{
    uint32_t prev = static_cast<uint16_t>(diff[0] + above[0]);
    out[0] = static_cast<uint16_t>(prev);
    int32_t x = 1;
    for (; x + 9 <= samples; x += 9)
        for (int32_t i = 0; i < 9; ++i)
            out[x + i] = static_cast<uint16_t>(prev += diff[x + i]);
    for (; x < samples; ++x)
        out[x] = static_cast<uint16_t>(prev += diff[x]);
}
#endif

template <int Level>
kernel_status ReconstructLosslessFirstRowSimd(const uint16_t* diff, uint16_t* out, int32_t samples, int32_t precision,
                                              int32_t point_transform)
{
    const kernel_status checked = check_first_row(diff, out, samples, precision, point_transform);
    if (checked != kernel_ok)
        return checked;
    ReconstructFirstRowKernel(diff, out, samples, precision, point_transform);
    return kernel_ok;
}

template <int Level>
kernel_status ReconstructLosslessRowSimd(const uint16_t* diff, const uint16_t* above, uint16_t* out, int32_t samples,
                                         int32_t predictor)
{
    const kernel_status checked = check_row(diff, above, out, samples, predictor);
    if (checked != kernel_ok)
        return checked;
    if (predictor == 1)
        ReconstructRowPred1Kernel(diff, above, out, samples);
    else
        ReconstructRowScalar(diff, above, out, samples, predictor);
    return kernel_ok;
}

template kernel_status ReconstructLosslessFirstRowSimd<2>(const uint16_t*, uint16_t*, int32_t, int32_t, int32_t);
template kernel_status ReconstructLosslessFirstRowSimd<3>(const uint16_t*, uint16_t*, int32_t, int32_t, int32_t);
template kernel_status ReconstructLosslessFirstRowSimd<4>(const uint16_t*, uint16_t*, int32_t, int32_t, int32_t);
template kernel_status ReconstructLosslessFirstRowSimd<5>(const uint16_t*, uint16_t*, int32_t, int32_t, int32_t);
template kernel_status ReconstructLosslessRowSimd<2>(const uint16_t*, const uint16_t*, uint16_t*, int32_t, int32_t);
template kernel_status ReconstructLosslessRowSimd<3>(const uint16_t*, const uint16_t*, uint16_t*, int32_t, int32_t);
template kernel_status ReconstructLosslessRowSimd<4>(const uint16_t*, const uint16_t*, uint16_t*, int32_t, int32_t);
template kernel_status ReconstructLosslessRowSimd<5>(const uint16_t*, const uint16_t*, uint16_t*, int32_t, int32_t);
