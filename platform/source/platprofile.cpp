#include "platform/platprofile.h"

#include "platform/platcodepage.h"
#include "platform/platfile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <utility>
#include <vector>

namespace {

// Eight bytes at s + i, all below 0x80: settings files are mostly plain ASCII.
bool AsciiWord(std::string_view s, size_t i)
{
    uint64_t word;
    std::memcpy(&word, s.data() + i, sizeof word);
    return (word & 0x8080808080808080ull) == 0;
}

bool IsAscii(std::string_view s)
{
    size_t i = 0;
    while (i + 8 <= s.size() && AsciiWord(s, i)) {
        i += 8;
    }
    return std::all_of(s.begin() + static_cast<std::ptrdiff_t>(i), s.end(),
                       [](char c) { return static_cast<uint8_t>(c) < 0x80; });
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view s)
{
    size_t i = 0;
    while (i < s.size()) {
        if (i + 8 <= s.size() && AsciiWord(s, i)) {
            i += 8;
            continue;
        }
        uint32_t cp = 0;
        const size_t n = PlatUtf8Character(s.substr(i), cp);
        if (n == 0) {
            return false;
        }
        i += n;
    }
    return true;
}

template <class Char>
bool IsBlank(Char c)
{
    return c == Char(' ') || c == Char('\t') || c == Char('\r');
}

template <class Char>
std::basic_string_view<Char> Trim(std::basic_string_view<Char> s)
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

// A section and a key, both without blanks around them, compared without regard to ASCII
// case: one 64-bit key for the pair. The section's length goes in between, so that no
// other split of the same characters gives the same input.
class NameHash {
public:
    // Plain ASCII bytes hash as the same characters in UTF-16 would.
    template <class Char>
    void Add(std::basic_string_view<Char> text)
    {
        for (Char c : text) {
            Mix(FoldAscii(static_cast<char16_t>(c)));
        }
        Mix(text.size());
    }
    uint64_t Value() const { return hash_; }

private:
    void Mix(uint64_t v)
    {
        hash_ ^= v;
        hash_ *= 0x100000001B3ull;
    }
    uint64_t hash_ = 0xCBF29CE484222325ull;
};

uint64_t KeyHash(std::u16string_view section, std::u16string_view key)
{
    NameHash hash;
    hash.Add(Trim(section));
    hash.Add(Trim(key));
    return hash.Value();
}

// What a settings file says, read once: the first value of each section and key in file
// order, the values in one buffer.
class ProfileIndex {
public:
    // False when the file's bytes cannot be decoded.
    bool Build(const std::string& bytes);
    std::optional<std::u16string> Find(std::u16string_view section, std::u16string_view key) const;
    void Clear()
    {
        entries_.clear();
        entries_.shrink_to_fit();
        values_.clear();
        values_.shrink_to_fit();
    }

private:
    struct Entry {
        uint64_t hash;
        uint32_t start;   // in values_: a file under 4 GiB holds fewer units
        uint32_t length;
    };

    template <class Char>
    void TakeLine(std::basic_string_view<Char> line, std::optional<uint64_t>& section, NameHash& sectionHash);
    bool ReadLines(const std::string& bytes);
    void KeepFirsts();

    std::vector<Entry> entries_;   // ordered by hash
    std::u16string values_;
};

// A line of UTF-16 text, or of plain ASCII bytes, which read as the same characters.
template <class Char>
void ProfileIndex::TakeLine(std::basic_string_view<Char> text, std::optional<uint64_t>& section, NameHash& sectionHash)
{
    using View = std::basic_string_view<Char>;
    const View line = Trim(text);
    if (line.empty() || line.front() == Char(';')) {
        return;
    }
    if (line.front() == Char('[')) {
        const size_t close = line.find(Char(']'));
        section.reset();
        if (close != View::npos) {
            sectionHash = NameHash();
            sectionHash.Add(Trim(line.substr(1, close - 1)));
            section = sectionHash.Value();
        }
        return;
    }
    const size_t equals = line.find(Char('='));
    if (!section || equals == View::npos) {
        return;
    }
    NameHash hash = sectionHash;
    hash.Add(Trim(line.substr(0, equals)));
    View value = Trim(line.substr(equals + 1));
    if (value.size() >= 2 && (value.front() == Char('"') || value.front() == Char('\'')) &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    entries_.push_back({hash.Value(), static_cast<uint32_t>(values_.size()), static_cast<uint32_t>(value.size())});
    values_.append(value.begin(), value.end());
}

bool ProfileIndex::Build(const std::string& bytes)
{
    Clear();
    // Room for every line and every unit at once: what is never used is never touched, and
    // nothing is copied while the index grows.
    size_t lines = 1;
    for (const char* at = bytes.data();
         (at = static_cast<const char*>(std::memchr(at, '\n', bytes.size() - size_t(at - bytes.data())))) != nullptr;
         ++at) {
        ++lines;
    }
    entries_.reserve(lines);
    values_.reserve(bytes.size());
    if (!ReadLines(bytes)) {
        Clear();
        return false;
    }
    KeepFirsts();
    return true;
}

bool ProfileIndex::ReadLines(const std::string& bytes)
{
    std::optional<uint64_t> section;
    NameHash sectionHash;
    std::u16string line;
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF && static_cast<uint8_t>(bytes[1]) == 0xFE) {
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
            const auto c =
                static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) | (static_cast<uint8_t>(bytes[i + 1]) << 8));
            if (c == u'\n') {
                TakeLine(std::u16string_view(line), section, sectionHash);
                line.clear();
            } else {
                line.push_back(c);
            }
        }
        TakeLine(std::u16string_view(line), section, sectionHash);
        return true;
    }
    std::string_view body(bytes);
    if (body.size() >= 3 && body.substr(0, 3) == "\xEF\xBB\xBF") {
        body.remove_prefix(3);
    }
    // A line feed is never part of a character in either form, so the lines decode alone as
    // they would in the whole text.
    const uint32_t codePage = IsValidUtf8(body) ? kPlatCodePageUtf8 : 932;
    for (;;) {
        const size_t end = body.find('\n');
        const std::string_view bytesOfLine = body.substr(0, end);
        if (IsAscii(bytesOfLine)) {
            TakeLine(bytesOfLine, section, sectionHash);
        } else if (PlatMultiByteToUtf16(codePage, bytesOfLine, line) == PlatConvertStatus::Ok) {
            TakeLine(std::u16string_view(line), section, sectionHash);
        } else {
            return false;
        }
        if (end == std::string_view::npos) {
            return true;
        }
        body.remove_prefix(end + 1);
    }
}

// The first of a section and key in file order wins; only the values that can be asked for
// stay, moved down in place.
void ProfileIndex::KeepFirsts()
{
    std::stable_sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) { return a.hash < b.hash; });
    const size_t all = entries_.size();
    entries_.erase(
        std::unique(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) { return a.hash == b.hash; }),
        entries_.end());
    if (entries_.size() == all) {
        return;
    }
    std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) { return a.start < b.start; });
    uint32_t kept = 0;
    for (Entry& e : entries_) {
        std::copy(values_.begin() + e.start, values_.begin() + e.start + e.length, values_.begin() + kept);
        e.start = kept;
        kept += e.length;
    }
    values_.resize(kept);
    std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) { return a.hash < b.hash; });
}

std::optional<std::u16string> ProfileIndex::Find(std::u16string_view section, std::u16string_view key) const
{
    const uint64_t hash = KeyHash(section, key);
    const auto found =
        std::lower_bound(entries_.begin(), entries_.end(), hash, [](const Entry& e, uint64_t h) { return e.hash < h; });
    if (found == entries_.end() || found->hash != hash) {
        return std::nullopt;
    }
    return values_.substr(found->start, found->length);
}

// The settings file last asked for, held while it stays the same file with the same size and
// times: the program asks for a few hundred settings, and the file may be large.
class HeldProfile {
public:
    std::optional<std::u16string> Find(std::u16string_view section, std::u16string_view key, const std::string& path)
    {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            return std::nullopt;
        }
        std::lock_guard<std::mutex> guard(mutex_);
        if (!held_ || path != path_ || !PlatSameFileState(info, stamp_)) {
            Load(path, info);
        }
        return readable_ ? index_.Find(section, key) : std::nullopt;
    }

private:
    void Load(const std::string& path, const struct stat& info)
    {
        held_ = false;
        index_.Clear();
        path_ = path;
        stamp_ = info;
        try {
            // The settings file lies beside the program, on the disc: never a pipe or a device.
            // Of 4 GiB or more it is no settings file.
            constexpr uint64_t kLimit = uint64_t(1) << 32;
            readable_ = false;
            if (uint64_t(info.st_size) < kLimit) {
                std::string bytes;
                bytes.reserve(size_t(info.st_size));
                readable_ = PlatReadRegularFile(path, bytes) && bytes.size() < kLimit && index_.Build(bytes);
            }
            held_ = true;
        } catch (const std::bad_alloc&) {
            // Defaults until the file changes: reading it again for each setting would not fit
            // either.
            index_.Clear();
            readable_ = false;
            held_ = true;
        }
    }

    std::mutex mutex_;
    bool held_ = false;
    bool readable_ = false;
    std::string path_;
    struct stat stamp_ {};
    ProfileIndex index_;
};

std::optional<std::u16string> FindValue(std::u16string_view section, std::u16string_view key, const std::string& path)
{
    static HeldProfile held;
    return held.Find(section, key, path);
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
