#pragma once

#include <cstdint>

#include "pyr/pyrlog.h"
#include "pyr/pyrresult.h"
#include "pyr/pyrstring.h"

namespace pyrutils {

// The file utilities write through their own writer, which starts as the null writer.
PyrILogWriter* GetLogWriter();
void SetLogWriter(PyrILogWriter* writer);   // null restores the null writer

bool PathFileExists(const PyrString& path);

// Deletes a file. A missing path is not an error (it may be gone already); an empty path
// gives 10; a failed delete gives one of the path codes 1004 to 1010, or 1.
PyrDicomResult DeleteFileW(const PyrString& path);

// Writes a system error (an errno value) with the system's text; 0, or 10 when no text exists.
PyrDicomResult WriteWindowsAPIErrorMessageToLog(const char* function, const PyrString& context, int32_t error);

// For the library's own code after a failed system call: error -1 stands for errno.
PyrDicomResult WriteLastErrorToLog(const char* function, int32_t error);

// "Class::Method" from a function signature text; "(global)" outside any class, "(unknown)"
// when the text holds no name.
PyrString DisplayNameFromSignature(const char* signature);

}   // namespace pyrutils
