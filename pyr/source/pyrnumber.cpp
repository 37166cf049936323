#include "pyr/pyrstring.h"

#include <locale.h>

#include <charconv>
#include <cstdlib>
#include <new>
#include <string>

namespace {

template <class C>
bool IsSpace(C c)
{
    return c == C(' ') || (c >= C('\t') && c <= C('\r'));
}

// Reads an optionally signed run of decimal digits. Returns false when no digit was
// found; `magnitude` saturates at UINT64_MAX.
template <class C>
bool ReadDecimal(const C* text, const C** end, bool& negative, uint64_t& magnitude)
{
    const C* p = text;
    while (IsSpace(*p)) {
        ++p;
    }
    negative = false;
    if (*p == C('+') || *p == C('-')) {
        negative = *p == C('-');
        ++p;
    }
    const C* digits = p;
    magnitude = 0;
    bool saturated = false;
    for (; *p >= C('0') && *p <= C('9'); ++p) {
        const uint64_t digit = static_cast<uint64_t>(*p - C('0'));
        if (!saturated && magnitude > (UINT64_MAX - digit) / 10) {
            saturated = true;
        }
        magnitude = saturated ? UINT64_MAX : magnitude * 10 + digit;
    }
    if (p == digits) {
        if (end != nullptr) {
            *end = text;
        }
        return false;
    }
    if (end != nullptr) {
        *end = p;
    }
    return true;
}

locale_t CLocale()
{
    static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return c;
}

template <class C>
int32_t ToLong(const C* text, const C** end)
{
    bool negative = false;
    uint64_t magnitude = 0;
    if (text == nullptr || !ReadDecimal(text, end, negative, magnitude)) {
        return 0;
    }
    if (negative) {
        return magnitude >= uint64_t(INT32_MAX) + 1 ? INT32_MIN : -static_cast<int32_t>(magnitude);
    }
    return magnitude > uint64_t(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(magnitude);
}

template <class C>
uint32_t ToULong(const C* text, const C** end)
{
    bool negative = false;
    uint64_t magnitude = 0;
    if (text == nullptr || !ReadDecimal(text, end, negative, magnitude)) {
        return 0;
    }
    if (magnitude > UINT32_MAX) {
        return UINT32_MAX;
    }
    // As the C parsers do, a minus sign negates in unsigned arithmetic.
    const uint32_t value = static_cast<uint32_t>(magnitude);
    return negative ? 0u - value : value;
}

}   // namespace

int32_t PyrTextToLong(const char16_t* text, const char16_t** end)
{
    return ToLong(text, end);
}

uint32_t PyrTextToULong(const char16_t* text, const char16_t** end)
{
    return ToULong(text, end);
}

int32_t PyrTextToLong(const char* text, const char** end)
{
    return ToLong(text, end);
}

uint32_t PyrTextToULong(const char* text, const char** end)
{
    return ToULong(text, end);
}

double PyrTextToDouble(const char* text, const char** end)
{
    if (end != nullptr) {
        *end = text;
    }
    const locale_t c = CLocale();
    if (text == nullptr || c == static_cast<locale_t>(nullptr)) {
        return 0.0;
    }
    char* stop = nullptr;
    const double value = strtod_l(text, &stop, c);
    if (end != nullptr) {
        *end = stop;
    }
    return value;
}

double PyrTextToDouble(const char16_t* text, const char16_t** end)
{
    if (end != nullptr) {
        *end = text;
    }
    if (text == nullptr) {
        return 0.0;
    }
    const locale_t c = CLocale();
    if (c == static_cast<locale_t>(nullptr)) {
        return 0.0;
    }
    // Only ASCII can be part of a number, so a narrow copy up to the first other unit
    // keeps positions one to one. Without memory for a long one, no number is read.
    try {
        std::string narrow;
        for (const char16_t* p = text; *p != 0 && *p < 0x80; ++p) {
            narrow.push_back(static_cast<char>(*p));
        }
        char* stop = nullptr;
        const double value = strtod_l(narrow.c_str(), &stop, c);
        if (end != nullptr) {
            *end = text + (stop - narrow.c_str());
        }
        return value;
    } catch (const std::bad_alloc&) {
        return 0.0;
    }
}

PyrString PyrStringFromLong(int32_t value, int32_t radix)
{
    if (radix != 10) {
        return PyrStringFromULong(static_cast<uint32_t>(value), radix);
    }
    char digits[16];
    const auto result = std::to_chars(digits, digits + sizeof(digits), value, 10);
    char16_t wide[16];
    size_t n = 0;
    for (const char* p = digits; p != result.ptr; ++p) {
        wide[n++] = static_cast<char16_t>(*p);
    }
    wide[n] = 0;
    return PyrString(wide);
}

PyrString PyrStringFromULong(uint32_t value, int32_t radix)
{
    if (radix < 2 || radix > 36) {
        return PyrString();
    }
    char digits[40];
    const auto result = std::to_chars(digits, digits + sizeof(digits), value, radix);
    char16_t wide[40];
    size_t n = 0;
    for (const char* p = digits; p != result.ptr; ++p) {
        wide[n++] = static_cast<char16_t>(*p);
    }
    wide[n] = 0;
    return PyrString(wide);
}
