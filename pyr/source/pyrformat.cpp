#include "pyr/pyrstring.h"

#include <locale.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

locale_t CLocale()
{
    static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return c;
}

// Switches this thread to the C locale for as long as it lives.
class CLocaleScope {
public:
    CLocaleScope() : previous_(CLocale() != static_cast<locale_t>(nullptr) ? uselocale(CLocale()) : nullptr) {}
    ~CLocaleScope()
    {
        if (previous_ != static_cast<locale_t>(nullptr)) {
            uselocale(previous_);
        }
    }
    CLocaleScope(const CLocaleScope&) = delete;
    CLocaleScope& operator=(const CLocaleScope&) = delete;

private:
    locale_t previous_;
};

class Formatter {
public:
    Formatter(const char16_t* format, std::initializer_list<PyrFormatArg> args)
        : format_(format), args_(args.begin()), argCount_(args.size())
    {
    }

    bool Run(std::u16string& out);

private:
    const PyrFormatArg* NextArg() { return nextArg_ < argCount_ ? &args_[nextArg_++] : nullptr; }
    bool ReadCount(const char16_t*& p, int& value, bool& given);
    bool Snprintf(const std::string& directive, std::u16string& out, auto value);

    const char16_t* format_;
    const PyrFormatArg* args_;
    size_t argCount_;
    size_t nextArg_ = 0;
};

bool Formatter::ReadCount(const char16_t*& p, int& value, bool& given)
{
    given = false;
    value = 0;
    if (*p == u'*') {
        const PyrFormatArg* arg = NextArg();
        if (arg == nullptr ||
            (arg->GetKind() != PyrFormatArg::Kind::Signed && arg->GetKind() != PyrFormatArg::Kind::Unsigned)) {
            return false;
        }
        const int64_t v = arg->GetSigned();
        if (v < -1000000 || v > 1000000) {
            return false;
        }
        value = static_cast<int>(v);
        given = true;
        ++p;
        return true;
    }
    while (*p >= u'0' && *p <= u'9') {
        value = value * 10 + (*p - u'0');
        if (value > 1000000) {
            return false;   // absurd widths are a broken format, not a request for megabytes
        }
        given = true;
        ++p;
    }
    return true;
}

bool Formatter::Snprintf(const std::string& directive, std::u16string& out, auto value)
{
    const int n = std::snprintf(nullptr, 0, directive.c_str(), value);
    if (n < 0) {
        return false;
    }
    std::string text(static_cast<size_t>(n) + 1, '\0');
    if (std::snprintf(text.data(), text.size(), directive.c_str(), value) != n) {
        return false;
    }
    for (int i = 0; i < n; ++i) {
        out.push_back(static_cast<unsigned char>(text[static_cast<size_t>(i)]));
    }
    return true;
}

bool Formatter::Run(std::u16string& out)
{
    CLocaleScope cLocale;
    for (const char16_t* p = format_; *p != 0; ++p) {
        if (*p != u'%') {
            out.push_back(*p);
            continue;
        }
        ++p;
        if (*p == u'%') {
            out.push_back(u'%');
            continue;
        }
        std::string directive = "%";
        bool leftAlign = false;
        for (; *p == u'-' || *p == u'+' || *p == u' ' || *p == u'#' || *p == u'0'; ++p) {
            leftAlign = leftAlign || *p == u'-';
            directive.push_back(static_cast<char>(*p));
        }
        int width = 0;
        int precision = 0;
        bool hasWidth = false;
        bool hasPrecision = false;
        if (!ReadCount(p, width, hasWidth)) {
            return false;
        }
        if (width < 0) {
            leftAlign = true;
            directive.push_back('-');
            width = -width;
        }
        if (hasWidth) {
            directive += std::to_string(width);
        }
        if (*p == u'.') {
            ++p;
            if (!ReadCount(p, precision, hasPrecision)) {
                return false;
            }
            if (precision >= 0) {
                directive += "." + std::to_string(precision);
            }
        }
        // Length: bits of the integer argument; 0 means the plain 32-bit int.
        int bits = 32;
        bool narrowText = false;
        if (*p == u'h') {
            ++p;
            bits = 16;
            narrowText = true;
            if (*p == u'h') {
                ++p;
                bits = 8;
            }
        } else if (*p == u'l') {
            ++p;
            if (*p == u'l') {
                ++p;
                bits = 64;
            }
        } else if (*p == u'w') {
            ++p;
        } else if (*p == u'L' || *p == u'j' || *p == u'z' || *p == u't') {
            bits = *p == u'L' ? 32 : 64;
            ++p;
        } else if (p[0] == u'I' && p[1] == u'6' && p[2] == u'4') {
            p += 3;
            bits = 64;
        } else if (p[0] == u'I' && p[1] == u'3' && p[2] == u'2') {
            p += 3;
        } else if (*p == u'I') {
            ++p;
            bits = 64;
        }
        const char16_t conv = *p;
        if (conv == 0) {
            return false;
        }
        switch (conv) {
        case u'd':
        case u'i':
        case u'u':
        case u'o':
        case u'x':
        case u'X': {
            const PyrFormatArg* arg = NextArg();
            if (arg == nullptr ||
                (arg->GetKind() != PyrFormatArg::Kind::Signed && arg->GetKind() != PyrFormatArg::Kind::Unsigned)) {
                return false;
            }
            directive += "ll";
            directive.push_back(static_cast<char>(conv));
            const uint64_t mask = bits == 64 ? UINT64_MAX : (uint64_t(1) << bits) - 1;
            const uint64_t raw = arg->GetUnsigned() & mask;
            if (conv == u'd' || conv == u'i') {
                const uint64_t sign = uint64_t(1) << (bits - 1);
                const long long v = (raw & sign) != 0 && bits < 64
                                        ? static_cast<long long>(raw) - static_cast<long long>(mask) - 1
                                        : static_cast<long long>(raw);
                if (!Snprintf(directive, out, v)) {
                    return false;
                }
            } else if (!Snprintf(directive, out, static_cast<unsigned long long>(raw))) {
                return false;
            }
            break;
        }
        case u'e':
        case u'E':
        case u'f':
        case u'F':
        case u'g':
        case u'G':
        case u'a':
        case u'A': {
            const PyrFormatArg* arg = NextArg();
            if (arg == nullptr || arg->GetKind() != PyrFormatArg::Kind::Floating) {
                return false;
            }
            directive.push_back(static_cast<char>(conv));
            if (!Snprintf(directive, out, arg->GetDouble())) {
                return false;
            }
            break;
        }
        case u'c':
        case u'C':
        case u's':
        case u'S': {
            const PyrFormatArg* arg = NextArg();
            if (arg == nullptr) {
                return false;
            }
            std::u16string text;
            if (conv == u'c' || conv == u'C') {
                if (arg->GetKind() != PyrFormatArg::Kind::Signed && arg->GetKind() != PyrFormatArg::Kind::Unsigned) {
                    return false;
                }
                text.push_back(
                    static_cast<char16_t>(arg->GetUnsigned() & ((conv == u'C' || narrowText) ? 0xFF : 0xFFFF)));
            } else if (arg->GetKind() == PyrFormatArg::Kind::Text16) {
                const char16_t* s = arg->GetText16();
                text = s != nullptr ? std::u16string(s) : std::u16string(u"(null)");
            } else if (arg->GetKind() == PyrFormatArg::Kind::Text8) {
                const char* s = arg->GetText8() != nullptr ? arg->GetText8() : "(null)";
                for (; *s != 0; ++s) {
                    text.push_back(static_cast<unsigned char>(*s));
                }
            } else {
                return false;
            }
            if (hasPrecision && precision >= 0 && (conv == u's' || conv == u'S') &&
                text.size() > static_cast<size_t>(precision)) {
                text.resize(static_cast<size_t>(precision));
            }
            const size_t pad = static_cast<size_t>(width) > text.size() ? static_cast<size_t>(width) - text.size() : 0;
            if (!leftAlign) {
                out.append(pad, u' ');
            }
            out += text;
            if (leftAlign) {
                out.append(pad, u' ');
            }
            break;
        }
        default: return false;   // %n and unknown conversions
        }
    }
    return true;
}

}   // namespace

PyrString PyrStringFormatArgs(const char16_t* format, std::initializer_list<PyrFormatArg> args)
{
    if (format == nullptr) {
        return PyrString();
    }
    try {
        std::u16string out;
        Formatter formatter(format, args);
        if (!formatter.Run(out) || out.empty() || out.size() > UINT32_MAX - 1) {
            return PyrString();
        }
        return PyrString(out.c_str(), out.size() <= INT32_MAX ? static_cast<int32_t>(out.size()) : -1);
    } catch (const std::bad_alloc&) {
        return PyrString();
    }
}
