#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

// The library's UTF-16 string. Every empty string points at one shared, never-written
// buffer, so empty values cost no allocation.
class PyrString {
public:
    PyrString() noexcept;
    PyrString(const char16_t* text);                  // NOLINT: implicit like a literal
    PyrString(const char16_t* text, int32_t count);   // count < 0 or past the end: whole text
    PyrString(const PyrString& other);
    PyrString(PyrString&& other) noexcept;
    ~PyrString();

    PyrString& operator=(const PyrString& other);
    PyrString& operator=(PyrString&& other) noexcept;
    PyrString& operator=(const char16_t* text) { return Assign(text); }
    PyrString& Assign(const char16_t* text);

    const char16_t* GetString() const { return buffer_; }
    uint32_t GetLength() const { return length_; }
    uint32_t GetCapacity() const { return capacity_; }
    bool IsEmpty() const { return length_ == 0; }
    std::u16string_view View() const { return std::u16string_view(buffer_, length_); }

    // Unit i; the caller keeps i below the length (which also keeps writes off the shared buffer).
    const char16_t* At(uint32_t i) const { return buffer_ + i; }
    char16_t* At(uint32_t i) { return buffer_ + i; }

    // Both fail only when memory runs out and then leave the string as it was.
    bool Reserve(uint32_t count);
    bool Resize(uint32_t length);
    void Release();
    void ShrinkToFit();

    PyrString& Append(const char16_t* text, int32_t count = -1);
    PyrString& Append(const PyrString& other);

    int32_t Find(const PyrString& needle, int32_t start = 0) const;
    PyrString Substring(int32_t start, int32_t count = -1) const;

    bool operator==(const char16_t* text) const;
    bool operator!=(const char16_t* text) const { return !(*this == text); }
    bool operator==(const PyrString& other) const;
    bool operator!=(const PyrString& other) const { return !(*this == other); }

    // The text read as a decimal floating-point number whatever the C locale says; 0 when empty.
    float ToFloat() const;

    static const char16_t* SharedEmptyBuffer();

private:
    bool OwnsBuffer() const;
    void AssignUnits(const char16_t* text, uint32_t length);

    char16_t* buffer_;
    uint32_t length_;
    uint32_t capacity_;
};

// The process-wide empty string.
const PyrString& PyrEmptyString();

PyrString JoinPyrStrings(const std::vector<PyrString>& values, const PyrString& separator);
// False, with no values, when memory ran out.
bool SplitPyrString(const PyrString& text, std::vector<PyrString>& values, const PyrString& separator,
                    const PyrString& escape);

// UTF-8 (the system's narrow encoding) to UTF-16; empty on failure.
PyrString PyrStringFromMultiByte(const char* text);
// Radix 2 to 36; a negative value in a radix other than 10 is written as its 32-bit pattern.
PyrString PyrStringFromLong(int32_t value, int32_t radix);
PyrString PyrStringFromULong(uint32_t value, int32_t radix);

// Number parsing that mirrors the C library's wide-string parsers on a platform with a
// 32-bit long, but ignores LC_NUMERIC. `end` (optional) receives where reading stopped,
// which is `text` itself when no number was there.
int32_t PyrTextToLong(const char16_t* text, const char16_t** end = nullptr);     // saturates at INT32 bounds
uint32_t PyrTextToULong(const char16_t* text, const char16_t** end = nullptr);   // saturates at UINT32_MAX
double PyrTextToDouble(const char16_t* text, const char16_t** end = nullptr);
// The same over zero-terminated ASCII.
int32_t PyrTextToLong(const char* text, const char** end = nullptr);
uint32_t PyrTextToULong(const char* text, const char** end = nullptr);
double PyrTextToDouble(const char* text, const char** end = nullptr);

// One argument of PyrStringFormat, keeping its type so that a conversion that does not
// match its argument fails cleanly instead of reading garbage.
class PyrFormatArg {
public:
    enum class Kind { Signed, Unsigned, Floating, Text16, Text8 };

    template <typename T, std::enable_if_t<std::is_integral_v<T> && std::is_signed_v<T>, int> = 0>
    PyrFormatArg(T v) : kind_(Kind::Signed), i_(v)
    {
    }   // NOLINT
    template <typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_signed_v<T>, int> = 0>
    PyrFormatArg(T v) : kind_(Kind::Unsigned), u_(v)
    {
    }   // NOLINT
    template <typename T, std::enable_if_t<std::is_floating_point_v<T>, int> = 0>
    PyrFormatArg(T v) : kind_(Kind::Floating), d_(static_cast<double>(v))
    {
    }                                                                                // NOLINT
    PyrFormatArg(const char16_t* s) : kind_(Kind::Text16), s16_(s) {}                // NOLINT
    PyrFormatArg(const PyrString& s) : kind_(Kind::Text16), s16_(s.GetString()) {}   // NOLINT
    PyrFormatArg(const char* s) : kind_(Kind::Text8), s8_(s) {}                      // NOLINT

    Kind GetKind() const { return kind_; }
    int64_t GetSigned() const { return kind_ == Kind::Signed ? i_ : static_cast<int64_t>(u_); }
    uint64_t GetUnsigned() const { return kind_ == Kind::Unsigned ? u_ : static_cast<uint64_t>(i_); }
    double GetDouble() const { return d_; }
    const char16_t* GetText16() const { return s16_; }
    const char* GetText8() const { return s8_; }

private:
    Kind kind_;
    union {
        int64_t i_;
        uint64_t u_;
        double d_;
        const char16_t* s16_;
        const char* s8_;
    };
};

// printf-style formatting with the wide-printf conventions: %s takes UTF-16 text (or a
// PyrString), %hs/%S narrow text, %c one UTF-16 unit, %d/%i/%u/%x/%X/%o 32-bit integers
// (h, hh, l, ll, I64, I32 as usual; l is 32-bit), %e/%f/%g/%a doubles, %% a percent sign.
// Numbers are written as in the C locale. A bad format, a missing or mismatching
// argument, or %n gives the empty string.
PyrString PyrStringFormatArgs(const char16_t* format, std::initializer_list<PyrFormatArg> args);

template <typename... Args>
PyrString PyrStringFormat(const char16_t* format, const Args&... args)
{
    return PyrStringFormatArgs(format, {PyrFormatArg(args)...});
}
