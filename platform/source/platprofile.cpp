#include "platform/platprofile.h"

#include "platform/platcodepage.h"
#include "platform/platfile.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
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

// Appends the text as the index compares names: without regard to ASCII case.
template <class Char>
void AppendFolded(std::u16string& out, std::basic_string_view<Char> text)
{
    for (Char c : text) {
        out.push_back(FoldAscii(static_cast<char16_t>(c)));
    }
}

// All ones but in tests, which narrow the hashes to make keys collide.
std::atomic<uint64_t> hashMask{~uint64_t(0)};

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
    uint64_t Value() const { return hash_ & hashMask.load(std::memory_order_relaxed); }

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
    hash.Add(section);
    hash.Add(key);
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
        names_.clear();
        names_.shrink_to_fit();
    }

private:
    // Offsets and lengths in 32 bits: a settings file read holds far fewer units.
    struct Entry {
        uint64_t hash;
        uint32_t start;   // in values_
        uint32_t length;
        // In names_, folded: a section's name is held once for all its keys.
        uint32_t section;
        uint32_t sectionLength;
        uint32_t key;
        uint32_t keyLength;
    };
    // The section the lines below belong to, when one is open.
    struct Section {
        bool open = false;
        NameHash hash;
        uint32_t name = 0;   // in names_
        uint32_t length = 0;
    };

    template <class Char>
    void TakeLine(std::basic_string_view<Char> line, Section& section);
    bool ReadLines(const std::string& bytes);
    void KeepFirsts();
    std::u16string_view SectionName(const Entry& e) const
    {
        return std::u16string_view(names_).substr(e.section, e.sectionLength);
    }
    std::u16string_view KeyName(const Entry& e) const { return std::u16string_view(names_).substr(e.key, e.keyLength); }
    // Hash, then section and key: the order of the index.
    bool Before(const Entry& a, const Entry& b) const
    {
        if (a.hash != b.hash) {
            return a.hash < b.hash;
        }
        const int section = SectionName(a).compare(SectionName(b));
        return section != 0 ? section < 0 : KeyName(a) < KeyName(b);
    }
    bool SameName(const Entry& a, const Entry& b) const
    {
        return a.hash == b.hash && SectionName(a) == SectionName(b) && KeyName(a) == KeyName(b);
    }

    std::vector<Entry> entries_;   // ordered by Before
    std::u16string values_;
    std::u16string names_;
};

// A line of UTF-16 text, or of plain ASCII bytes, which read as the same characters.
template <class Char>
void ProfileIndex::TakeLine(std::basic_string_view<Char> text, Section& section)
{
    using View = std::basic_string_view<Char>;
    const View line = Trim(text);
    if (line.empty() || line.front() == Char(';')) {
        return;
    }
    if (line.front() == Char('[')) {
        const size_t close = line.find(Char(']'));
        section.open = close != View::npos;
        if (section.open) {
            const View name = Trim(line.substr(1, close - 1));
            section.hash = NameHash();
            section.hash.Add(name);
            section.name = static_cast<uint32_t>(names_.size());
            section.length = static_cast<uint32_t>(name.size());
            AppendFolded(names_, name);
        }
        return;
    }
    const size_t equals = line.find(Char('='));
    if (!section.open || equals == View::npos) {
        return;
    }
    const View key = Trim(line.substr(0, equals));
    NameHash hash = section.hash;
    hash.Add(key);
    View value = Trim(line.substr(equals + 1));
    if (value.size() >= 2 && (value.front() == Char('"') || value.front() == Char('\'')) &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    entries_.push_back({hash.Value(), static_cast<uint32_t>(values_.size()), static_cast<uint32_t>(value.size()),
                        section.name, section.length, static_cast<uint32_t>(names_.size()),
                        static_cast<uint32_t>(key.size())});
    values_.append(value.begin(), value.end());
    AppendFolded(names_, key);
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
    Section section;
    std::u16string line;
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF && static_cast<uint8_t>(bytes[1]) == 0xFE) {
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
            const auto c =
                static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) | (static_cast<uint8_t>(bytes[i + 1]) << 8));
            if (c == u'\n') {
                TakeLine(std::u16string_view(line), section);
                line.clear();
            } else {
                line.push_back(c);
            }
        }
        TakeLine(std::u16string_view(line), section);
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
            TakeLine(bytesOfLine, section);
        } else if (PlatMultiByteToUtf16(codePage, bytesOfLine, line) == PlatConvertStatus::Ok) {
            TakeLine(std::u16string_view(line), section);
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
// stay, moved down in place. The names, at most one unit per unit of the file, stay.
void ProfileIndex::KeepFirsts()
{
    const auto before = [this](const Entry& a, const Entry& b) { return Before(a, b); };
    std::stable_sort(entries_.begin(), entries_.end(), before);
    const size_t all = entries_.size();
    entries_.erase(std::unique(entries_.begin(), entries_.end(),
                               [this](const Entry& a, const Entry& b) { return SameName(a, b); }),
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
    std::sort(entries_.begin(), entries_.end(), before);
}

std::optional<std::u16string> ProfileIndex::Find(std::u16string_view section, std::u16string_view key) const
{
    section = Trim(section);
    key = Trim(key);
    std::u16string sectionName;
    std::u16string keyName;
    AppendFolded(sectionName, section);
    AppendFolded(keyName, key);
    const uint64_t hash = KeyHash(section, key);
    // Different names may share a hash: the names themselves decide among them.
    auto found =
        std::lower_bound(entries_.begin(), entries_.end(), hash, [](const Entry& e, uint64_t h) { return e.hash < h; });
    for (; found != entries_.end() && found->hash == hash; ++found) {
        if (SectionName(*found) == sectionName && KeyName(*found) == keyName) {
            return values_.substr(found->start, found->length);
        }
    }
    return std::nullopt;
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
            // The settings file lies beside the program, on the disc: never a pipe or a device,
            // and never as large as the limit; a larger one is no settings file.
            std::string bytes;
            const PlatReadResult read = PlatReadRegularFileUpTo(path, kPlatOwnFileLimit, bytes);
            if (read == PlatReadResult::TooLarge) {
                std::fprintf(stderr, "kestro: %s is larger than %llu MiB: its settings are not read\n", path.c_str(),
                             static_cast<unsigned long long>(kPlatOwnFileLimit >> 20));
            }
            readable_ = read == PlatReadResult::Read && index_.Build(bytes);
            held_ = true;
        } catch (const std::bad_alloc&) {
            // Defaults until the file changes: reading it again for each setting would not fit
            // either.
            index_.Clear();
            readable_ = false;
            held_ = true;
        }
    }

public:
    // The next question reads the file again.
    void Forget()
    {
        std::lock_guard<std::mutex> guard(mutex_);
        held_ = false;
        index_.Clear();
    }

private:
    std::mutex mutex_;
    bool held_ = false;
    bool readable_ = false;
    std::string path_;
    struct stat stamp_ {};
    ProfileIndex index_;
};

HeldProfile& Held()
{
    static HeldProfile& held = *new HeldProfile;
    return held;
}

std::optional<std::u16string> FindValue(std::u16string_view section, std::u16string_view key, const std::string& path)
{
    return Held().Find(section, key, path);
}

}   // namespace

void PlatSetProfileHashBitsForTest(int bits)
{
    hashMask = bits >= 64 ? ~uint64_t(0) : (uint64_t(1) << bits) - 1;
    Held().Forget();
}

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
