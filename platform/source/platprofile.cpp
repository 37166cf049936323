#include "platform/platprofile.h"

#include "platform/platcodepage.h"
#include "platform/platfile.h"

#include <optional>

namespace {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view s)
{
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<uint8_t>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t extra;
        uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (s.size() - i <= extra) {
            return false;
        }
        for (size_t k = 1; k <= extra; ++k) {
            const auto t = static_cast<uint8_t>(s[i + k]);
            if ((t & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (t & 0x3F);
        }
        if ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
            (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF))) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

bool DecodeFile(const std::string& bytes, std::u16string& text)
{
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF && static_cast<uint8_t>(bytes[1]) == 0xFE) {
        text.clear();
        text.reserve((bytes.size() - 2) / 2);
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
            text.push_back(
                static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) | (static_cast<uint8_t>(bytes[i + 1]) << 8)));
        }
        return true;
    }
    std::string_view body(bytes);
    if (body.size() >= 3 && body.substr(0, 3) == "\xEF\xBB\xBF") {
        body.remove_prefix(3);
    }
    const uint32_t codePage = IsValidUtf8(body) ? kPlatCodePageUtf8 : 932;
    return PlatMultiByteToUtf16(codePage, body, text) == PlatConvertStatus::Ok;
}

bool IsBlank(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\r';
}

std::u16string_view Trim(std::u16string_view s)
{
    while (!s.empty() && IsBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && IsBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

char16_t FoldAscii(char16_t c)
{
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + (u'a' - u'A')) : c;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldAscii(a[i]) != FoldAscii(b[i])) {
            return false;
        }
    }
    return true;
}

std::optional<std::u16string> FindValue(std::u16string_view section, std::u16string_view key, const std::string& path)
{
    std::string bytes;
    std::u16string text;
    // The settings file lies beside the program, on the disc: never a pipe or a device.
    if (!PlatReadRegularFile(path, bytes) || !DecodeFile(bytes, text)) {
        return std::nullopt;
    }
    const std::u16string_view wantedSection = Trim(section);
    const std::u16string_view wantedKey = Trim(key);
    std::u16string_view rest(text);
    bool inSection = false;
    while (!rest.empty()) {
        const size_t end = rest.find(u'\n');
        std::u16string_view line = Trim(rest.substr(0, end));
        rest = end == std::u16string_view::npos ? std::u16string_view() : rest.substr(end + 1);
        if (line.empty() || line.front() == u';') {
            continue;
        }
        if (line.front() == u'[') {
            const size_t close = line.find(u']');
            inSection =
                close != std::u16string_view::npos && EqualNoCase(Trim(line.substr(1, close - 1)), wantedSection);
            continue;
        }
        if (!inSection) {
            continue;
        }
        const size_t equals = line.find(u'=');
        if (equals == std::u16string_view::npos || !EqualNoCase(Trim(line.substr(0, equals)), wantedKey)) {
            continue;
        }
        std::u16string_view value = Trim(line.substr(equals + 1));
        if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') && value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        return std::u16string(value);
    }
    return std::nullopt;
}

}   // namespace

std::u16string PlatGetPrivateProfileString(std::u16string_view section, std::u16string_view key,
                                           std::u16string_view defaultValue, const std::string& path)
{
    std::optional<std::u16string> value = FindValue(section, key, path);
    if (!value || value->empty()) {
        return std::u16string(defaultValue);
    }
    return *value;
}

int32_t PlatGetPrivateProfileInt(std::u16string_view section, std::u16string_view key, int32_t defaultValue,
                                 const std::string& path)
{
    std::optional<std::u16string> value = FindValue(section, key, path);
    if (!value || value->empty()) {
        return defaultValue;
    }
    std::u16string_view digits(*value);
    const bool negative = digits.front() == u'-';
    if (negative) {
        digits.remove_prefix(1);
    }
    int64_t magnitude = 0;
    for (char16_t c : digits) {
        if (c < u'0' || c > u'9') {
            break;
        }
        magnitude = magnitude * 10 + (c - u'0');
        if (magnitude > int64_t{INT32_MAX} + 1) {
            magnitude = int64_t{INT32_MAX} + 1;
        }
    }
    const int64_t result = negative ? -magnitude : magnitude;
    return result > INT32_MAX ? INT32_MAX : static_cast<int32_t>(result);
}
