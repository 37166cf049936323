#include "platprofilefuzzentry.h"

#include <sys/mman.h>
#include <unistd.h>

#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "platform/platprofile.h"

namespace {

std::string_view Trim(std::string_view s)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!s.empty() && blank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && blank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

std::string Fold(std::string_view s)
{
    std::string out(s);
    for (char& c : out) {
        c = c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c;
    }
    return out;
}

std::u16string Wide(std::string_view s)
{
    return std::u16string(s.begin(), s.end());
}

// The first value of each section and key, names folded, read line by line.
std::map<std::pair<std::string, std::string>, std::string> ReferenceValues(std::string_view text)
{
    std::map<std::pair<std::string, std::string>, std::string> values;
    bool open = false;
    std::string section;
    for (;;) {
        const size_t end = text.find('\n');
        const std::string_view line = Trim(text.substr(0, end));
        if (!line.empty() && line.front() == '[') {
            const size_t close = line.find(']');
            open = close != std::string_view::npos;
            if (open) {
                section = Fold(Trim(line.substr(1, close - 1)));
            }
        } else if (open && !line.empty() && line.front() != ';' && line.find('=') != std::string_view::npos) {
            const size_t equals = line.find('=');
            std::string_view value = Trim(line.substr(equals + 1));
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
                value = value.substr(1, value.size() - 2);
            }
            values.emplace(std::make_pair(section, Fold(Trim(line.substr(0, equals)))), std::string(value));
        }
        if (end == std::string_view::npos) {
            break;
        }
        text.remove_prefix(end + 1);
    }
    return values;
}

}   // namespace

ProfileFuzzReport ProfileFuzzRead(const uint8_t* data, size_t size)
{
    ProfileFuzzReport report;
    if (size == 0) {
        return report;
    }
    // The first byte narrows the hashes: 0, 1, 2, 4 ... 64 bits.
    static const int kBits[8] = {0, 1, 2, 4, 8, 16, 32, 64};
    PlatSetProfileHashBitsForTest(kBits[data[0] % 8]);
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const int fd = ::memfd_create("ZYLV.INI", MFD_CLOEXEC);
    if (fd < 0) {
        return report;
    }
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    // Plain ASCII reads as the same characters in every form the reader takes.
    report.ascii = written;
    for (const char c : text) {
        report.ascii = report.ascii && static_cast<uint8_t>(c) < 0x80;
    }
    if (written && report.ascii) {
        for (const auto& [name, value] : ReferenceValues(text)) {
            ++report.keys;
            // Asked in upper case: names match without regard to ASCII case.
            std::string section = name.first;
            for (char& c : section) {
                c = c >= 'a' && c <= 'z' ? char(c - ('a' - 'A')) : c;
            }
            const std::u16string answer = PlatGetPrivateProfileString(Wide(section), Wide(name.second), u"\x01", path);
            report.broken += answer == (value.empty() ? u"\x01" : Wide(value)) ? 0 : 1;
        }
    }
    // Names the file may or may not hold answer without fault either way.
    PlatGetPrivateProfileInt(u"Cashe", u"CacheSizeRatio", 50, path);
    PlatGetPrivateProfileString(u"", u"", u"", path);
    ::close(fd);
    PlatSetProfileHashBitsForTest(64);
    return report;
}
