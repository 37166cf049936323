// Numbers of any length read in one pass, judged against the C library's reading of the
// whole text; what it would read as infinite or not a number is no value here.

#include "pyr/pyrdecimal.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

namespace {

std::string Zeros(size_t n)
{
    return std::string(n, '0');
}

struct Reading {
    bool read = false;
    double value = 0;
    size_t used = 0;
};

Reading Real(const std::string& text)
{
    Reading r;
    const char* stop = nullptr;
    r.read = PyrReadReal(text.data(), text.data() + text.size(), r.value, &stop);
    r.used = size_t(stop - text.data());
    return r;
}

Reading Whole(const std::string& text)
{
    Reading r;
    char* stop = nullptr;
    r.value = std::strtod(text.c_str(), &stop);
    r.used = size_t(stop - text.c_str());
    r.read = r.used != 0 && std::isfinite(r.value);
    return r;
}

}   // namespace

TEST(PyrDecimal, RealsOfAnyShapeReadAsTheWholeTextReads)
{
    const std::string cases[] = {
        Zeros(60) + "2",
        "  12.5  ",
        "0.5" + Zeros(62) + "e1",
        Zeros(70) + "5",
        "-0." + Zeros(100) + "123e103",
        "1." + std::string(400, '3'),
        "0." + std::string(800, '1'),
        // Past the digits kept only a nonzero digit tips a tie between two doubles.
        "9007199254740993",
        "9007199254740993." + Zeros(800),
        "9007199254740993." + Zeros(800) + "1",
        "9007199254740993" + Zeros(300) + "1e-300",
        "2.2250738585072011e-308",
        "4.9406564584124654e-324",
        "1e-400",
        "-2.5E+3\\7",
        "1e",
        "1e+",
        "1.5e-",
        ".5",
        "5.",
        "-.5e-1",
        "+3",
        "-0",
        "1e0000000000000000000000000000005",
        "1e-99999999999999999999",
        "0e99999999999",
        Zeros(5000) + "." + Zeros(5000) + "1e5003",
        "1.7976931348623157e308",
        "7 8",
    };
    for (const std::string& text : cases) {
        const Reading whole = Whole(text);
        const Reading r = Real(text);
        const std::string shown = text.substr(0, 60);
        EXPECT_TRUE(r.read) << shown;
        EXPECT_EQ(r.value, whole.value) << shown;
        EXPECT_EQ(std::signbit(r.value), std::signbit(whole.value)) << shown;
        EXPECT_EQ(r.used, whole.used) << shown;
    }
}

TEST(PyrDecimal, WhatIsNotAFiniteNumberIsNoValue)
{
    const std::string cases[] = {"",        "   ",
                                 ".",       "-",
                                 "+-1",     "e5",
                                 "inf",     "-INF",
                                 "nan",     "Infinity",
                                 "1e400",   "-1e400",
                                 "1.8e308", "1" + Zeros(400),
                                 "\\5",     "1e99999999999999999999"};
    for (const std::string& text : cases) {
        const Reading r = Real(text);
        EXPECT_FALSE(r.read) << text.substr(0, 60) << " read " << r.value;
    }
    // Where no number starts, nothing is used.
    EXPECT_EQ(Real(" inf").used, 0u);
    // The wide form reads the same.
    const std::u16string wide = u"  -00000000000000000000000000000000000000000000000000000000000012.5e-1\\x";
    double value = 0;
    const char16_t* stop = nullptr;
    EXPECT_TRUE(PyrReadReal(wide.data(), wide.data() + wide.size(), value, &stop));
    EXPECT_EQ(value, -1.25);
    EXPECT_EQ(*stop, u'\\');
}

TEST(PyrDecimal, IntegersReadWholeWithinTheirRange)
{
    const struct {
        std::string text;
        bool read;
        int64_t value;
        size_t used;
    } cases[] = {
        {Zeros(60) + "2", true, 2, 61},
        {"  +5 ", true, 5, 4},
        {"-" + Zeros(50) + "9223372036854775808", true, INT64_MIN, 70},
        {Zeros(30) + "9223372036854775807", true, INT64_MAX, 49},
        {"9223372036854775808", false, 0, 19},
        {"99999999999999999999999", false, 0, 23},
        // Any decimal whose value is an integer; a fraction is none, read to its end.
        {"3.0abc", true, 3, 3},
        {"-30e-1\\4", true, -3, 6},
        {"12.7", false, 0, 4},
        {"3e", true, 3, 1},
        {"0.0" + Zeros(60) + "1e63", true, 10, 67},
        {"", false, 0, 0},
        {"-", false, 0, 0},
        {" x1", false, 0, 0},
    };
    for (const auto& c : cases) {
        int64_t value = 0;
        const char* stop = nullptr;
        const bool read = PyrReadInteger(c.text.data(), c.text.data() + c.text.size(), value, &stop);
        EXPECT_EQ(read, c.read) << c.text;
        EXPECT_EQ(size_t(stop - c.text.data()), c.used) << c.text;
        if (c.read) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
    // An integer past int64_t is still told from a fraction.
    const struct {
        std::string text;
        bool fits, integral;
    } past[] = {{"1e19", false, true},
                {"-9223372036854775809.000", false, true},
                {"1" + Zeros(400) + "e-400", true, true},
                {"1" + Zeros(400) + "1e-400", false, false},
                {"7.5", false, false},
                {"x", false, false}};
    for (const auto& c : past) {
        int64_t value = 0;
        bool integral = !c.integral;
        EXPECT_EQ(PyrReadInteger(c.text.data(), c.text.data() + c.text.size(), value, nullptr, &integral), c.fits)
            << c.text.substr(0, 40);
        EXPECT_EQ(integral, c.integral) << c.text.substr(0, 40);
    }
}
