#include "pyr/pyrutils.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/platcodepage.h"
#include "pyrnothrow.h"

namespace pyrutils {
namespace {

std::atomic<PyrILogWriter*> g_writer{&PyrNullLogWriter::Instance()};

void Write(const char* function, int32_t code, const PyrString& message)
{
    GetLogWriter()->Write(function, kPyrLogError, code, message);
}

bool ToNativePath(const PyrString& path, std::string& native)
{
    return PlatUtf16ToMultiByte(kPlatCodePageUtf8, path.View(), native) == PlatConvertStatus::Ok &&
           native.find('\0') == std::string::npos;
}

}   // namespace

PyrDicomResult DeleteFileNamed(const char* function, const PyrString& path);
PyrDicomResult WriteSystemError(const char* function, const PyrString& context, int32_t error);
PyrString DisplayName(const char* signature);

PyrILogWriter* GetLogWriter()
{
    return g_writer.load(std::memory_order_acquire);
}

void SetLogWriter(PyrILogWriter* writer)
{
    g_writer.store(writer != nullptr ? writer : &PyrNullLogWriter::Instance(), std::memory_order_release);
}

bool PathFileExists(const PyrString& path)
{
    const PyrDicomResult r = PyrNoThrow([&] {
        std::string native;
        struct stat info;
        const bool exists = !path.IsEmpty() && ToNativePath(path, native) && ::stat(native.c_str(), &info) == 0;
        return exists ? kPyrSuccess : kPyrFailed;
    });
    return r == kPyrSuccess;
}

PyrDicomResult DeleteFileW(const PyrString& path)
{
    static const char* const kFunction = __PRETTY_FUNCTION__;
    return PyrNoThrow([&] { return DeleteFileNamed(kFunction, path); });
}

PyrDicomResult DeleteFileNamed(const char* function, const PyrString& path)
{
    if (path.IsEmpty()) {
        Write(function, kPyrBadArgument, PyrStringFormat(u"The path is empty. ('%s')", path));
        return kPyrBadArgument;
    }
    std::string native;
    if (!ToNativePath(path, native)) {
        Write(function, kPyrPathInvalid, PyrStringFormat(u"The path is invalid. ('%s')", path));
        return kPyrPathInvalid;
    }
    if (!PathFileExists(path)) {
        Write(function, kPyrSuccess, PyrStringFormat(u"The path does not exist. May be already removed. ('%s')", path));
        return kPyrSuccess;
    }
    if (::unlink(native.c_str()) == 0) {
        return kPyrSuccess;
    }
    const int error = errno;
    WriteLastErrorToLog(function, error);
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
        Write(function, kPyrPathInvalidEntry, PyrStringFormat(u"The path may contain an invalid entry. ('%s')", path));
        return kPyrPathInvalidEntry;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case EBUSY:
        Write(function, kPyrAccessDenied, PyrStringFormat(u"The access denied. ('%s')", path));
        return kPyrAccessDenied;
    case EEXIST:
        Write(function, kPyrAlreadyExists, PyrStringFormat(u"The directory/file already exists. ('%s')", path));
        return kPyrAlreadyExists;
    case EINVAL:
        Write(function, kPyrPathInvalid, PyrStringFormat(u"The path is invalid. ('%s')", path));
        return kPyrPathInvalid;
    case ENAMETOOLONG:
        Write(function, kPyrPathTooLong, PyrStringFormat(u"The path is too long. ('%s')", path));
        return kPyrPathTooLong;
    default:
        Write(function, kPyrFailed,
              PyrStringFormat(u"%s() failed for an unknown reason. Return Value = %d. ('%s')", "DeleteFileW", error,
                              path));
        return kPyrFailed;
    }
}

PyrDicomResult WriteWindowsAPIErrorMessageToLog(const char* function, const PyrString& context, int32_t error)
{
    return PyrNoThrow([&] { return WriteSystemError(function, context, error); });
}

PyrDicomResult WriteSystemError(const char* function, const PyrString& context, int32_t error)
{
    (void)context;   // kept for the writer's signature text only
    char buffer[256];
    const char* text = strerror_r(error, buffer, sizeof(buffer));
    if (text == nullptr || text[0] == '\0') {
        Write(function, kPyrBadArgument, PyrStringFormat(u"FormatMessage() failed. ('%d')", error));
        return kPyrBadArgument;
    }
    std::string_view message(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.remove_suffix(1);
    }
    std::u16string wide;
    if (PlatMultiByteToUtf16(kPlatCodePageUtf8, message, wide) != PlatConvertStatus::Ok) {
        wide.clear();
    }
    PyrString line = PyrStringFormat(u"Windows API error(%d):", error);
    line.Append(wide.c_str());
    Write(function, error, line);
    return kPyrSuccess;
}

PyrDicomResult WriteLastErrorToLog(const char* function, int32_t error)
{
    if (error == -1) {
        error = errno;
    }
    return WriteWindowsAPIErrorMessageToLog(function, DisplayNameFromSignature(function), error);
}

PyrString DisplayNameFromSignature(const char* signature)
{
    try {
        return DisplayName(signature);
    } catch (const std::bad_alloc&) {
        return PyrString(u"(unknown)");
    }
}

PyrString DisplayName(const char* signature)
{
    if (signature == nullptr) {
        return PyrString(u"(unknown)");
    }
    std::string_view text(signature);
    const size_t paren = text.find('(');
    std::string_view head = text.substr(0, paren);
    while (!head.empty() && head.back() == ' ') {
        head.remove_suffix(1);
    }
    const size_t space = head.find_last_of(" *&");
    std::string_view name = space == std::string_view::npos ? head : head.substr(space + 1);
    if (name.empty()) {
        return PyrString(u"(unknown)");
    }
    std::string display(name);
    if (name.find("::") == std::string_view::npos) {
        display = "(global)::" + display;
    }
    std::u16string wide(display.begin(), display.end());
    return PyrString(wide.c_str());
}

}   // namespace pyrutils
