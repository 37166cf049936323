#pragma once

#include <cstdint>

#include "pyr/pyrstring.h"

// Where the library reports what went wrong. The library itself calls only Write.
class PyrILogWriter {
public:
    virtual ~PyrILogWriter() = default;

    virtual void WriteText(const char* function, int32_t level, const PyrString& message) = 0;
    virtual void WriteLine(const char* function, const PyrString& message) = 0;
    virtual void WriteAt(const char* function, int32_t level, int32_t code, const PyrString& message, int32_t line) = 0;
    // level: 0 error, 1 warning. code: the result the reporting function returns, -1 for none.
    virtual void Write(const char* function, int32_t level, int32_t code, const PyrString& message) = 0;
    virtual void WriteDetail(const char* function, int32_t level, int32_t code, const PyrString& message) = 0;
    virtual void WriteTextDetail(const char* function, int32_t level, const PyrString& message) = 0;
};

// A writer that drops everything; one process-wide instance serves the file utilities.
class PyrNullLogWriter : public PyrILogWriter {
public:
    void WriteText(const char*, int32_t, const PyrString&) override {}
    void WriteLine(const char*, const PyrString&) override {}
    void WriteAt(const char*, int32_t, int32_t, const PyrString&, int32_t) override {}
    void Write(const char*, int32_t, int32_t, const PyrString&) override {}
    void WriteDetail(const char*, int32_t, int32_t, const PyrString&) override {}
    void WriteTextDetail(const char*, int32_t, const PyrString&) override {}

    static PyrNullLogWriter& Instance();
};

enum : int32_t { kPyrLogError = 0, kPyrLogWarning = 1 };

// The DICOM code's writer: null unless a host installs one, and then nothing is written.
PyrILogWriter* PyrGetLogWriter();
void PyrSetLogWriter(PyrILogWriter* writer);

// Formats and writes only when a writer is installed, so silent runs pay no formatting.
template <typename... Args>
void PyrWriteLog(const char* function, int32_t level, int32_t code, const char16_t* format, const Args&... args)
{
    if (PyrILogWriter* writer = PyrGetLogWriter()) {
        writer->Write(function, level, code, PyrStringFormat(format, args...));
    }
}

class PlatRecursiveLock;

// The process-wide lock for hosts that share a dataset or writer between threads; null
// only when it could not be made. The library itself never enters it.
PlatRecursiveLock* PyrGetGlobalLock();
