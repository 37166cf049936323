#pragma once

// How the fuzz entries judge a number held as text (IS, DS), apart from the library's reader:
// the C library's reading of the value's first value, and whether that text is exactly an
// integer, found by moving the point in the text itself.

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

struct PyrTextNumberOracle {
    bool decimal = false;    // strtod takes the whole text but blanks, in decimal form
    double real = 0;         // its reading
    bool integral = false;   // the text is exactly an integer
    bool fits32 = false;     // ... one of int32_t
    long long integer = 0;   // ... that one
};

// text: a value's first value, up to its backslash or zero byte.
inline PyrTextNumberOracle PyrJudgeTextNumber(const std::string& text)
{
    PyrTextNumberOracle o;
    static const char kBlanks[] = " \t\n\v\f\r";
    // strtod's hexadecimal, infinity and NaN forms are no number here.
    if (text.find_first_not_of(std::string("0123456789+-.eE") + kBlanks) != std::string::npos) {
        return o;
    }
    char* stop = nullptr;
    o.real = std::strtod(text.c_str(), &stop);
    o.decimal = stop != text.c_str() && std::strspn(stop, kBlanks) == std::strlen(stop);
    if (!o.decimal) {
        return o;
    }
    const size_t begin = text.find_first_not_of(kBlanks);
    const std::string number = text.substr(begin, size_t(stop - text.c_str()) - begin);
    const size_t e = std::min(number.find_first_of("eE"), number.size());
    long long power = e < number.size() ? std::strtoll(number.c_str() + e + 1, nullptr, 10) : 0;
    power = std::clamp(power, -1000000000LL, 1000000000LL);
    std::string digits;
    bool point = false;
    for (size_t i = 0; i < e; ++i) {
        point = point || number[i] == '.';
        if (number[i] >= '0' && number[i] <= '9') {
            digits.push_back(number[i]);
            power -= point ? 1 : 0;
        }
    }
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
    while (!digits.empty() && digits.back() == '0') {
        digits.pop_back();
        ++power;
    }
    o.integral = digits.empty() || power >= 0;
    if (digits.empty() || (o.integral && digits.size() + size_t(power) <= 10)) {
        const long long magnitude =
            digits.empty() ? 0 : std::strtoll((digits + std::string(size_t(power), '0')).c_str(), nullptr, 10);
        o.integer = number[0] == '-' ? -magnitude : magnitude;
        o.fits32 = o.integer >= INT_MIN && o.integer <= INT_MAX;
    }
    return o;
}
