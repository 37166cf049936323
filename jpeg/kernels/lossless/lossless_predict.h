#pragma once

#include <cstdint>

// The next sample of a row from its difference d and its neighbours Ra (left), Rb (above) and
// Rc (above left), for predictors 1 to 7. Only the terms with Ra are on the row's serial path;
// predictors 1, 4 and 5 add Ra last and keep it modulo 2^32 (callers store the low 16 bits),
// 6 and 7 need it exact and get it masked.
template <int Predictor>
inline uint32_t lossless_next_sample(uint32_t ra, uint32_t rb, uint32_t rc, uint32_t d)
{
    if constexpr (Predictor == 1)
        return ra + d;
    else if constexpr (Predictor == 2)
        return d + rb;
    else if constexpr (Predictor == 3)
        return d + rc;
    else if constexpr (Predictor == 4)
        return ra + (d + rb - rc);
    // Halving on the unsigned values, in 32 bits: a signed 16-bit reading would be wrong by
    // 32768 whenever one operand is 32768 or more.
    else if constexpr (Predictor == 5)
        return ra + (d + static_cast<uint32_t>(static_cast<int32_t>(rb - rc) >> 1));
    else if constexpr (Predictor == 6)
        return (d + rb + static_cast<uint32_t>(static_cast<int32_t>(ra - rc) >> 1)) & 0xFFFFu;
    else
        return (d + ((ra + rb) >> 1)) & 0xFFFFu;
}
