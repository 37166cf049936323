#include "pyr/pyrdecimal.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace {

// Significant digits kept of a real: any halfway point between two doubles has fewer, so the
// digits past them only tell which side of it the value lies, as one nonzero digit does.
constexpr int kKeptDigits = 780;
// Where a decimal scale stops growing: far past any double, far from int64_t's end.
constexpr int64_t kScaleBound = int64_t(1) << 50;

template <class C>
bool IsBlank(C c)
{
    return c == C(' ') || (c >= C('\t') && c <= C('\r'));
}

template <class C>
bool IsDigit(C c)
{
    return c >= C('0') && c <= C('9');
}

template <class C>
const C* SkipBlanksAndSign(const C* p, const C* last, bool& negative)
{
    while (p < last && IsBlank(*p)) {
        ++p;
    }
    negative = false;
    if (p < last && (*p == C('+') || *p == C('-'))) {
        negative = *p == C('-');
        ++p;
    }
    return p;
}

int64_t Bounded(int64_t scale)
{
    return scale > kScaleBound ? kScaleBound : (scale < -kScaleBound ? -kScaleBound : scale);
}

// The significant digits of a real and the power of ten they are scaled by.
struct Significand {
    char digits[kKeptDigits + 1];
    int count = 0;
    bool dropped = false;   // a nonzero digit past those kept
    int64_t scale = 0;      // value = digits x 10^scale

    template <class C>
    void Take(C c, bool fraction)
    {
        if (count == 0 && c == C('0')) {
            scale -= fraction ? 1 : 0;   // a leading zero only moves the point
        } else if (count < kKeptDigits) {
            digits[count++] = char(c);
            scale -= fraction ? 1 : 0;
        } else {
            dropped = dropped || c != C('0');
            scale += fraction ? 0 : 1;
        }
        scale = Bounded(scale);
    }
};

template <class C>
const C* ReadExponent(const C* p, const C* last, int64_t& scale)
{
    if (p == last || (*p != C('e') && *p != C('E'))) {
        return p;
    }
    const C* q = p + 1;
    bool negative = false;
    if (q < last && (*q == C('+') || *q == C('-'))) {
        negative = *q == C('-');
        ++q;
    }
    if (q == last || !IsDigit(*q)) {
        return p;   // an 'e' without digits is not part of the number
    }
    int64_t exponent = 0;
    for (; q < last && IsDigit(*q); ++q) {
        exponent = Bounded(exponent * 10 + int64_t(*q - C('0')));
    }
    scale = Bounded(scale + (negative ? -exponent : exponent));
    return q;
}

// An integer written as a decimal, read exactly: the value is mantissa x 10^(zeros + scale)
// with the mantissa's last digit nonzero, so that zeros after it ("3.000", "30e-1", a run of
// any length) are only counted. A value past int64_t has more digits than the mantissa holds
// or a larger power, and is then an integer exactly when that power is not negative.
template <class C>
bool ReadInteger(const C* first, const C* last, int64_t& value, const C** stop, bool* integral)
{
    if (stop != nullptr) {
        *stop = first;
    }
    if (integral != nullptr) {
        *integral = false;
    }
    bool negative = false;
    const C* p = SkipBlanksAndSign(first, last, negative);
    uint64_t mantissa = 0;
    bool over = false;   // more significant digits than uint64_t holds
    int64_t zeros = 0;   // zeros since the last nonzero digit
    int64_t scale = 0;   // minus the digits after the point
    bool any = false;
    const auto take = [&](C c, bool fraction) {
        any = true;
        if (fraction) {
            scale = Bounded(scale - 1);
        }
        const uint64_t digit = uint64_t(c - C('0'));
        if (digit == 0) {
            zeros = mantissa != 0 || over ? Bounded(zeros + 1) : 0;
            return;
        }
        // The zeros before a nonzero digit join the mantissa.
        for (; zeros > 0 && !over; --zeros) {
            over = mantissa > UINT64_MAX / 10;
            mantissa *= 10;
        }
        over = over || mantissa > (UINT64_MAX - digit) / 10;
        mantissa = mantissa * 10 + digit;
        zeros = 0;
    };
    for (; p < last && IsDigit(*p); ++p) {
        take(*p, false);
    }
    if (p < last && *p == C('.')) {
        const C* q = p + 1;
        for (; q < last && IsDigit(*q); ++q) {
            take(*q, true);
        }
        p = any ? q : p;
    }
    if (!any) {
        return false;
    }
    p = ReadExponent(p, last, scale);
    if (stop != nullptr) {
        *stop = p;
    }
    if (mantissa == 0 && !over) {
        if (integral != nullptr) {
            *integral = true;
        }
        value = 0;
        return true;
    }
    // A nonzero digit past the units' place is a fraction.
    const int64_t exponent = Bounded(zeros + scale);
    if (exponent < 0) {
        return false;
    }
    if (integral != nullptr) {
        *integral = true;
    }
    const uint64_t limit = uint64_t(std::numeric_limits<int64_t>::max()) + (negative ? 1 : 0);
    uint64_t magnitude = mantissa;
    for (int64_t i = 0; i < exponent && !over; ++i) {
        over = magnitude > limit / 10;
        magnitude *= 10;
    }
    if (over || magnitude > limit) {
        return false;
    }
    value = negative ? int64_t(0 - magnitude) : int64_t(magnitude);
    return true;
}

// The value of the digits, rounded once: false when it is not finite.
bool Convert(Significand& s, bool negative, double& value)
{
    double magnitude = 0;
    const int64_t magnitudeExponent = s.count + s.scale;   // 10^(m-1) <= value < 10^m
    if (s.count != 0 && magnitudeExponent > 310) {
        return false;
    }
    if (s.count != 0 && magnitudeExponent >= -330) {
        int n = s.count;
        int64_t scale = s.scale;
        if (s.dropped) {
            s.digits[n++] = '1';
            --scale;
        }
        char text[kKeptDigits + 32];
        std::copy(s.digits, s.digits + n, text);
        char* end = text + n;
        *end++ = 'e';
        end = std::to_chars(end, text + sizeof text, scale).ptr;
        const std::from_chars_result r = std::from_chars(text, end, magnitude, std::chars_format::scientific);
        if (r.ec == std::errc::result_out_of_range) {
            if (magnitudeExponent > 0) {
                return false;
            }
            magnitude = 0;   // below the least double
        } else if (r.ec != std::errc() || !std::isfinite(magnitude)) {
            return false;
        }
    }
    value = negative ? -magnitude : magnitude;
    return true;
}

template <class C>
bool ReadReal(const C* first, const C* last, double& value, const C** stop)
{
    if (stop != nullptr) {
        *stop = first;
    }
    bool negative = false;
    const C* p = SkipBlanksAndSign(first, last, negative);
    Significand s;
    bool any = false;
    for (; p < last && IsDigit(*p); ++p) {
        any = true;
        s.Take(*p, false);
    }
    if (p < last && *p == C('.')) {
        const C* q = p + 1;
        for (; q < last && IsDigit(*q); ++q) {
            any = true;
            s.Take(*q, true);
        }
        p = any ? q : p;
    }
    if (!any) {
        return false;
    }
    p = ReadExponent(p, last, s.scale);
    if (stop != nullptr) {
        *stop = p;
    }
    return Convert(s, negative, value);
}

template <class C>
const C* ValueEnd(const C* p, const C* last)
{
    while (p < last && IsBlank(*p)) {
        ++p;
    }
    return p == last || *p == C('\\') || *p == C(0) ? p : nullptr;
}

template <class C, class Read, class V>
bool ReadWhole(const C* first, const C* last, V& value, const C** end, Read read)
{
    const C* stop = first;
    V v{};
    const bool read_ = read(first, last, v, &stop);
    const C* e = ValueEnd(stop, last);
    if (end != nullptr) {
        *end = e;
    }
    if (!read_ || e == nullptr) {
        return false;
    }
    value = v;
    return true;
}

}   // namespace

bool PyrReadInteger(const char* first, const char* last, int64_t& value, const char** stop, bool* integral)
{
    return ReadInteger(first, last, value, stop, integral);
}

bool PyrReadInteger(const char16_t* first, const char16_t* last, int64_t& value, const char16_t** stop, bool* integral)
{
    return ReadInteger(first, last, value, stop, integral);
}

bool PyrReadReal(const char* first, const char* last, double& value, const char** stop)
{
    return ReadReal(first, last, value, stop);
}

bool PyrReadReal(const char16_t* first, const char16_t* last, double& value, const char16_t** stop)
{
    return ReadReal(first, last, value, stop);
}

const char* PyrValueEnd(const char* stop, const char* last)
{
    return ValueEnd(stop, last);
}

const char16_t* PyrValueEnd(const char16_t* stop, const char16_t* last)
{
    return ValueEnd(stop, last);
}

bool PyrReadWholeInteger(const char* first, const char* last, int64_t& value, const char** end)
{
    return ReadWhole(first, last, value, end, [](auto&&... a) { return ReadInteger<char>(a..., nullptr); });
}

bool PyrReadWholeInteger(const char16_t* first, const char16_t* last, int64_t& value, const char16_t** end)
{
    return ReadWhole(first, last, value, end, [](auto&&... a) { return ReadInteger<char16_t>(a..., nullptr); });
}

bool PyrReadWholeReal(const char* first, const char* last, double& value, const char** end)
{
    return ReadWhole(first, last, value, end, ReadReal<char>);
}

bool PyrReadWholeReal(const char16_t* first, const char16_t* last, double& value, const char16_t** end)
{
    return ReadWhole(first, last, value, end, ReadReal<char16_t>);
}
