#include "shell/xev_utility.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unordered_map>

#include "platform/platcodepage.h"
#include "platform/platfileid.h"
#include "platform/platfolder.h"
#include "platform/platprofile.h"
#include "pyr/pyrdecimal.h"

namespace {

// The settings reader's buffer holds 1,024 characters with the terminator.
constexpr qsizetype kIniTextLimit = 1023;

// The value read whole, blanks aside, as one decimal: NaN when it is anything else or is not
// finite in T.
template <typename T>
T ReadEnglish(const QString& text)
{
    const auto* first = reinterpret_cast<const char16_t*>(text.utf16());
    double value = 0;
    if (first == nullptr || !PyrReadWholeReal(first, first + text.size(), value)) {
        return std::numeric_limits<T>::quiet_NaN();
    }
    const T narrowed = static_cast<T>(value);
    return std::isfinite(narrowed) ? narrowed : std::numeric_limits<T>::quiet_NaN();
}

}   // namespace

QByteArray WideToCStringA(const QString& text)
{
    return text.toUtf8();
}

QString CStringAToCString(const QByteArray& text)
{
    return QString::fromUtf8(text);
}

QString WideToCString(const QString& text)
{
    return CStringAToCString(WideToCStringA(text));
}

std::string WStringToString(const std::u16string& text)
{
    return QString::fromStdU16String(text).toStdString();
}

std::u16string StringToWString(const std::string& text)
{
    return QString::fromStdString(text).toStdU16String();
}

std::string WideToMultiByte(const QString& text)
{
    return WStringToString(text.toStdU16String());
}

QString StringToCString(const std::string& text)
{
    return QString::fromStdU16String(StringToWString(text));
}

float StrToFloatEnglish(const QString& text)
{
    return ReadEnglish<float>(text);
}

double StrToDoubleEnglish(const QString& text)
{
    return ReadEnglish<double>(text);
}

bool StrToIntEnglish(const QString& text, int32_t& value)
{
    const auto* first = reinterpret_cast<const char16_t*>(text.utf16());
    int64_t read = 0;
    if (first == nullptr || !PyrReadWholeInteger(first, first + text.size(), read) || read < INT32_MIN ||
        read > INT32_MAX) {
        return false;
    }
    value = int32_t(read);
    return true;
}

QString GetDicomValuePart(const QString& text, int32_t index)
{
    if (index < 0) {
        return QString();
    }
    qsizetype start = 0;
    int32_t n = 0;
    while (true) {
        const qsizetype slash = text.indexOf(u'\\', start);
        if (slash < 0) {
            // The rest after the last backslash is a value only when it is not empty.
            return n == index && start < text.size() ? text.mid(start) : QString();
        }
        if (n == index) {
            return text.mid(start, slash - start);
        }
        ++n;
        start = slash + 1;
    }
}

int32_t CountTextLines(const QString& text)
{
    return text.isEmpty() ? 0 : 1 + static_cast<int32_t>(text.count(u'\r'));
}

QString RemoveTabs(const QString& text)
{
    QString out = text;
    out.remove(u'\t');
    return out;
}

QString GetKeyOfPair(const QString& text)
{
    const qsizetype equals = text.indexOf(u'=');
    return equals < 0 ? text : text.left(equals);
}

QString GetValueOfPair(const QString& text)
{
    const qsizetype equals = text.indexOf(u'=');
    if (equals < 0) {
        return text;
    }
    const qsizetype next = text.indexOf(u'=', equals + 1);
    return next < 0 ? text.mid(equals + 1) : text.mid(equals + 1, next - equals - 1);
}

QString PersonNameToDisplay(const QString& text)
{
    QString out = text;
    out.replace(u'^', u' ');
    return out;
}

namespace {

constexpr bool IsJisByte(uint8_t c)
{
    return c >= 0x21 && c <= 0x7E;
}

// JIS X 0208 row and cell to Shift-JIS: the lead byte by the first JIS byte, the trail byte
// by the second and the first's parity.
struct ShiftJisTables {
    uint8_t lead[94];
    uint8_t trail[2][94];
};

constexpr ShiftJisTables MakeShiftJisTables()
{
    ShiftJisTables t{};
    for (int c = 0x21; c <= 0x7E; ++c) {
        int s1 = ((c - 0x21) >> 1) + 0x81;
        if (s1 > 0x9F) {
            s1 += 0x40;
        }
        t.lead[c - 0x21] = static_cast<uint8_t>(s1);
        const int odd = c + 0x1F;
        t.trail[1][c - 0x21] = static_cast<uint8_t>(odd >= 0x7F ? odd + 1 : odd);
        t.trail[0][c - 0x21] = static_cast<uint8_t>(c + 0x7E);
    }
    return t;
}

constexpr ShiftJisTables kShiftJis = MakeShiftJisTables();

// Bytes that end a run copied as it stands outside two-byte mode.
constexpr std::array<bool, 256> MakeRunEnds()
{
    std::array<bool, 256> ends{};
    ends[0x00] = ends[0x0A] = ends[0x1B] = true;
    return ends;
}

constexpr std::array<bool, 256> kRunEnds = MakeRunEnds();

// True when the text at p starts with the sequence. The byte-wise comparison stops at the
// first difference, so it never passes the terminator.
bool StartsWith(const uint8_t* p, const char* sequence)
{
    for (; *sequence != '\0'; ++p, ++sequence) {
        if (*p != static_cast<uint8_t>(*sequence)) {
            return false;
        }
    }
    return true;
}

}   // namespace

void ConvertJisToShiftJis(const char* source, char* destination, size_t capacity)
{
    if (destination == nullptr || capacity == 0) {
        return;
    }
    if (source == nullptr) {
        destination[0] = '\0';
        return;
    }
    const auto* s = reinterpret_cast<const uint8_t*>(source);
    auto* d = reinterpret_cast<uint8_t*>(destination);
    // The last byte is kept for the terminator.
    const size_t limit = capacity - 1;
    size_t out = 0;
    bool twoByte = false;
    size_t i = 0;
    while (true) {
        if (twoByte) {
            // Runs of characters; s[i + 1] is read only when s[i] is not the terminator.
            while (IsJisByte(s[i]) && IsJisByte(s[i + 1])) {
                if (limit - out < 2) {
                    goto done;
                }
                const uint8_t c1 = s[i];
                d[out] = kShiftJis.lead[c1 - 0x21];
                d[out + 1] = kShiftJis.trail[c1 & 1][s[i + 1] - 0x21];
                out += 2;
                i += 2;
            }
        } else {
            size_t run = 0;
            while (!kRunEnds[s[i + run]]) {
                ++run;
            }
            if (run > limit - out) {
                std::memcpy(d + out, s + i, limit - out);
                out = limit;
                goto done;
            }
            std::memcpy(d + out, s + i, run);
            out += run;
            i += run;
        }

        const uint8_t c = s[i];
        if (c == 0x1B) {
            if (StartsWith(s + i, "\x1B$B") || StartsWith(s + i, "\x1B$@")) {
                twoByte = true;
                i += 3;
                continue;
            }
            if (StartsWith(s + i, "\x1B&@\x1B$B")) {
                twoByte = true;
                i += 6;
                continue;
            }
            if (StartsWith(s + i, "\x1B(B") || StartsWith(s + i, "\x1B(J") || StartsWith(s + i, "\x1B(I")) {
                twoByte = false;
                i += 3;
                continue;
            }
        }
        if (c == 0) {
            break;
        }
        // A lone LF becomes CR LF; a lead byte without a JIS trail byte passes alone.
        const bool loneLf = c == 0x0A && (i == 0 || s[i - 1] != 0x0D);
        if (loneLf) {
            if (limit - out < 2) {
                break;
            }
            d[out++] = 0x0D;
        } else if (limit - out < 1) {
            break;
        }
        d[out++] = c;
        ++i;
    }
done:
    d[out] = 0;
}

std::string XEVNativePath(const QString& path)
{
    return PlatUtf16ToPath(path.toStdU16String());
}

QString XEVPathText(std::string_view path)
{
    return QString::fromStdU16String(PlatPathToUtf16(path));
}

QString GetModuleFolder()
{
    return XEVPathText(PlatGetModuleFolder());
}

bool FileExists(const QString& path)
{
    struct stat info {};
    return !path.isEmpty() && ::stat(path.toUtf8().constData(), &info) == 0 && !S_ISDIR(info.st_mode);
}

namespace {

// ZYLV.INI as it is now: its path and, when it is there, its stat figures.
bool FindIni(std::string& path, struct stat& info)
{
    const std::string folder = PlatGetModuleFolder();
    if (folder.empty()) {
        path.clear();
        return false;
    }
    // The exact name needs no folder listing.
    path = folder + "ZYLV.INI";
    if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
        return true;
    }
    path = PlatJoinFileId(folder, "ZYLV.INI");
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool Equal(const timespec& a, const timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Answers already read from the settings file, kept while the file stays the same. A file
// changed within the last two seconds is read on every call: its time stamp may not yet
// tell a second change apart.
class IniAnswers {
public:
    std::optional<std::u16string> Find(const std::string& path, const struct stat& info, const std::u16string& question)
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!Check(path, info)) {
            return std::nullopt;
        }
        const auto found = answers_.find(question);
        return found == answers_.end() ? std::nullopt : std::optional<std::u16string>(found->second);
    }
    void Keep(const std::string& path, const struct stat& info, const std::u16string& question,
              const std::u16string& answer)
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (Check(path, info) && answers_.size() < kMaxAnswers) {
            answers_.emplace(question, answer);
        }
    }

private:
    static constexpr size_t kMaxAnswers = 4096;

    // True when the kept answers hold for the file as the caller found it.
    bool Check(const std::string& path, const struct stat& info)
    {
        const bool same = path == path_ && info.st_dev == stamp_.st_dev && info.st_ino == stamp_.st_ino &&
                          info.st_size == stamp_.st_size && Equal(info.st_mtim, stamp_.st_mtim) &&
                          Equal(info.st_ctim, stamp_.st_ctim);
        if (!same) {
            answers_.clear();
            path_ = path;
            stamp_ = info;
        }
        timespec now{};
        const time_t changed = std::max(info.st_mtim.tv_sec, info.st_ctim.tv_sec);
        return clock_gettime(CLOCK_REALTIME, &now) == 0 && now.tv_sec > changed + 2;
    }

    std::mutex mutex_;
    std::string path_;
    struct stat stamp_ {};
    std::unordered_map<std::u16string, std::u16string> answers_;
};

IniAnswers& Answers()
{
    static IniAnswers& answers = *new IniAnswers;
    return answers;
}

std::u16string Question(char16_t kind, const QString& section, const QString& key, const std::u16string& fallback)
{
    std::u16string q(1, kind);
    q += section.toStdU16String();
    q += u'\x1F';
    q += key.toStdU16String();
    q += u'\x1F';
    q += fallback;
    return q;
}

}   // namespace

std::string GetIniPath()
{
    std::string path;
    struct stat info {};
    FindIni(path, info);
    return path;
}

int32_t ReadIniInt(const QString& section, const QString& key, int32_t defaultValue)
{
    std::string path;
    struct stat info {};
    if (!FindIni(path, info)) {
        return defaultValue;
    }
    const std::u16string question = Question(u'i', section, key, QString::number(defaultValue).toStdU16String());
    if (const auto kept = Answers().Find(path, info, question)) {
        return static_cast<int32_t>(QStringView(*kept).toInt());
    }
    const int32_t value = PlatGetPrivateProfileInt(section.toStdU16String(), key.toStdU16String(), defaultValue, path);
    Answers().Keep(path, info, question, QString::number(value).toStdU16String());
    return value;
}

QString ReadIniString(const QString& key, const QString& defaultValue, const QString& section)
{
    std::string path;
    struct stat info {};
    if (!FindIni(path, info)) {
        return defaultValue;
    }
    const std::u16string fallback = defaultValue.toStdU16String();
    const std::u16string question = Question(u's', section, key, fallback);
    std::u16string value;
    if (auto kept = Answers().Find(path, info, question)) {
        value = std::move(*kept);
    } else {
        value = PlatGetPrivateProfileString(section.toStdU16String(), key.toStdU16String(), fallback, path);
        Answers().Keep(path, info, question, value);
    }
    if (value.empty()) {
        return defaultValue;
    }
    QString text = QString::fromStdU16String(value);
    if (text.size() > kIniTextLimit) {
        qsizetype cut = kIniTextLimit;
        if (text.at(cut - 1).isHighSurrogate()) {
            --cut;
        }
        text.truncate(cut);
    }
    text.replace(QStringLiteral("\\n"), QStringLiteral("\n"));
    return text;
}

uint64_t GetProcessMemoryUse()
{
    PlatProcessMemory memory;
    if (!PlatGetProcessMemory(memory)) {
        return 0;
    }
    return memory.workingSet + memory.pageFileUse;
}

bool HasFreeMemory(const PlatMemoryStatus& status)
{
    // Either figure alone may already exceed the limit; adding them must not wrap.
    return status.availablePhysical > kXEVMinFreeMemory ||
           status.availableVirtual > kXEVMinFreeMemory - status.availablePhysical;
}

bool HasFreeMemory()
{
    PlatMemoryStatus status;
    if (!PlatGetMemoryStatus(status)) {
        return false;
    }
    return HasFreeMemory(status);
}

bool IsMemoryAvailable(const PlatMemoryStatus& status, uint64_t processUse)
{
    return HasFreeMemory(status) && processUse <= kXEVMaxProcessMemory;
}

bool IsMemoryAvailable()
{
    PlatMemoryStatus status;
    if (!PlatGetMemoryStatus(status)) {
        return false;
    }
    return IsMemoryAvailable(status, GetProcessMemoryUse());
}
