#include "shell/xev_utility.h"

#include <charconv>
#include <cmath>
#include <sys/stat.h>

#include "platform/platfileid.h"
#include "platform/platfolder.h"
#include "platform/platprofile.h"

namespace {

// The settings reader's buffer holds 1,024 characters with the terminator.
constexpr qsizetype kIniTextLimit = 1023;

template <typename T>
T ReadEnglish(const QString& text)
{
    const QByteArray bytes = text.toLatin1();
    const char* first = bytes.constData();
    const char* last = first + bytes.size();
    while (first != last && (*first == ' ' || (*first >= '\t' && *first <= '\r'))) {
        ++first;
    }
    bool negative = false;
    if (first != last && (*first == '+' || *first == '-')) {
        negative = *first == '-';
        ++first;
    }
    // from_chars takes no sign of its own but '-', so the sign is applied here.
    if (first == last || *first == '-' || *first == '+') {
        return T(0);
    }
    T value = T(0);
    const std::from_chars_result result = std::from_chars(first, last, value, std::chars_format::general);
    if (result.ec != std::errc() || !std::isfinite(value)) {
        return T(0);
    }
    return negative ? -value : value;
}

void PutByte(char* destination, size_t& at, uint8_t byte)
{
    destination[at++] = static_cast<char>(byte);
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

void ConvertJisToShiftJis(const char* source, char* destination, size_t capacity)
{
    if (destination == nullptr || capacity == 0) {
        return;
    }
    size_t out = 0;
    if (source == nullptr) {
        destination[0] = '\0';
        return;
    }
    const auto* s = reinterpret_cast<const uint8_t*>(source);
    // Room for n more bytes and the terminator.
    auto fits = [&](size_t n) { return out + n < capacity; };
    // Byte-wise comparison stops at the first difference, so the terminator is never passed.
    auto startsWith = [](const uint8_t* p, const char* sequence) {
        for (; *sequence != '\0'; ++p, ++sequence) {
            if (*p != static_cast<uint8_t>(*sequence)) {
                return false;
            }
        }
        return true;
    };
    bool twoByte = false;
    size_t i = 0;
    while (true) {
        const uint8_t c = s[i];
        if (c == 0x1B) {
            if (startsWith(s + i, "\x1B$B") || startsWith(s + i, "\x1B$@")) {
                twoByte = true;
                i += 3;
                continue;
            }
            if (startsWith(s + i, "\x1B&@\x1B$B")) {
                twoByte = true;
                i += 6;
                continue;
            }
            if (startsWith(s + i, "\x1B(B") || startsWith(s + i, "\x1B(J") || startsWith(s + i, "\x1B(I")) {
                twoByte = false;
                i += 3;
                continue;
            }
        }
        if (twoByte && c >= 0x21 && c <= 0x7E) {
            const uint8_t c2 = s[i + 1];
            if (c2 >= 0x21 && c2 <= 0x7E) {
                // JIS X 0208 row and cell to Shift-JIS.
                uint8_t s1 = static_cast<uint8_t>(((c - 0x21) >> 1) + 0x81);
                if (s1 > 0x9F) {
                    s1 = static_cast<uint8_t>(s1 + 0x40);
                }
                uint8_t s2;
                if (c & 1) {
                    s2 = static_cast<uint8_t>(c2 + 0x1F);
                    if (s2 >= 0x7F) {
                        ++s2;
                    }
                } else {
                    s2 = static_cast<uint8_t>(c2 + 0x7E);
                }
                if (!fits(2)) {
                    break;
                }
                PutByte(destination, out, s1);
                PutByte(destination, out, s2);
                i += 2;
                continue;
            }
            // Not a character: the first byte alone goes through.
            if (!fits(1)) {
                break;
            }
            PutByte(destination, out, c);
            ++i;
            continue;
        }
        if (c == 0) {
            break;
        }
        if (c == 0x0A && (i == 0 || s[i - 1] != 0x0D)) {
            if (!fits(2)) {
                break;
            }
            PutByte(destination, out, 0x0D);
            PutByte(destination, out, 0x0A);
            ++i;
            continue;
        }
        if (!fits(1)) {
            break;
        }
        PutByte(destination, out, c);
        ++i;
    }
    destination[out] = '\0';
}

QString GetModuleFolder()
{
    return QString::fromStdString(PlatGetModuleFolder());
}

bool FileExists(const QString& path)
{
    struct stat info {};
    return !path.isEmpty() && ::stat(path.toUtf8().constData(), &info) == 0 && !S_ISDIR(info.st_mode);
}

std::string GetIniPath()
{
    const std::string folder = PlatGetModuleFolder();
    return folder.empty() ? std::string() : PlatJoinFileId(folder, "ZYLV.INI");
}

int32_t ReadIniInt(const QString& section, const QString& key, int32_t defaultValue)
{
    const std::string path = GetIniPath();
    if (path.empty()) {
        return defaultValue;
    }
    return PlatGetPrivateProfileInt(section.toStdU16String(), key.toStdU16String(), defaultValue, path);
}

QString ReadIniString(const QString& key, const QString& defaultValue, const QString& section)
{
    const std::string path = GetIniPath();
    std::u16string value = path.empty() ? defaultValue.toStdU16String()
                                        : PlatGetPrivateProfileString(section.toStdU16String(), key.toStdU16String(),
                                                                      defaultValue.toStdU16String(), path);
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
