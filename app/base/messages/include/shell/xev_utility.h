#pragma once

// Small services the study, viewer and shell code share: text conversion, locale-free
// numbers, DICOM text pieces, the program folder, ZYLV.INI and the free-memory test.
//
// Wide text (QString, std::u16string) is UTF-16; narrow text (QByteArray, std::string) is
// UTF-8, the file-name encoding here.

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platmemory.h"

// Conversions; none fails. A lone surrogate becomes the default character '?'.
QByteArray WideToCStringA(const QString& text);
QString CStringAToCString(const QByteArray& text);
// Wide text through narrow text and back.
QString WideToCString(const QString& text);
std::string WStringToString(const std::u16string& text);
std::u16string StringToWString(const std::string& text);
std::string WideToMultiByte(const QString& text);
QString StringToCString(const std::string& text);

// A DICOM decimal value read whole: "0.5" reads 0.5 whatever the locale, with blanks around
// and a sign allowed. Anything else is no value and reads NaN, so that a caller's fallback
// applies: empty text, blanks alone, characters after the number ("2.5abc", "0x10", "1,5"),
// and a number its type cannot hold finite ("1e400", "inf", "nan").
float StrToFloatEnglish(const QString& text);
double StrToDoubleEnglish(const QString& text);
// A DICOM integer value read whole by the same rule; false when it is no integer of int32_t.
bool StrToIntEnglish(const QString& text, int32_t& value);

// The index-th value of a backslash-separated DICOM text; empty when there is none. An
// empty piece between two backslashes counts, an empty rest after the last does not.
QString GetDicomValuePart(const QString& text, int32_t index);
// 0 for an empty text, else 1 + the number of CRs.
int32_t CountTextLines(const QString& text);
QString RemoveTabs(const QString& text);
// "k=v=w": key "k", value "v"; a text without '=' is both.
QString GetKeyOfPair(const QString& text);
QString GetValueOfPair(const QString& text);
// DICOM person-name components ("YAMADA^TARO") as words.
QString PersonNameToDisplay(const QString& text);

// ISO-2022-JP (JIS X 0208 between escape sequences) to Shift-JIS, lone LF to CR LF. Writes
// at most capacity bytes, terminator included; output that does not fit is cut at a
// character boundary. Reads nothing past the source's terminator.
void ConvertJisToShiftJis(const char* source, char* destination, size_t capacity);

// A path as the file system holds it (bytes) and as text: a name with bytes that are not
// UTF-8 (a disc written in a legacy code page) survives the trip and still opens.
std::string XEVNativePath(const QString& path);
QString XEVPathText(std::string_view path);

// The program folder, ending in '/'; empty when it cannot be read.
QString GetModuleFolder();
// True for an existing path that is not a folder.
bool FileExists(const QString& path);

// ZYLV.INI in the program folder, its name matched without regard to case; the exact
// spelling's path when none is there.
std::string GetIniPath();
// Integers outside 32 bits saturate.
int32_t ReadIniInt(const QString& section, const QString& key, int32_t defaultValue);
// The value, cut to 1,023 characters (never inside a surrogate pair), with every "\n"
// (backslash, n) turned into a line feed; the default when the key is missing or empty.
QString ReadIniString(const QString& key, const QString& defaultValue, const QString& section);

// Resident plus private (resident or swapped) memory of the process; 0 when unknown.
uint64_t GetProcessMemoryUse();
// More than 50 MiB of available physical plus virtual memory.
bool HasFreeMemory();
bool HasFreeMemory(const PlatMemoryStatus& status);
// Free memory and a process use of at most 2,900 MiB.
bool IsMemoryAvailable();
bool IsMemoryAvailable(const PlatMemoryStatus& status, uint64_t processUse);

constexpr uint64_t kXEVMinFreeMemory = 52428800;        // 50 MiB
constexpr uint64_t kXEVMaxProcessMemory = 3040870400;   // 2,900 MiB
