#pragma once

#include <cstdint>

// Result codes of every library operation that can fail. No operation throws: running out
// of memory anywhere, the standard containers included, comes back as kPyrOutOfMemory.
using PyrDicomResult = uint32_t;

enum : PyrDicomResult {
    kPyrSuccess = 0,
    kPyrFailed = 1,   // a text conversion or file operation failed, no finer code
    kPyrBadFirstFragment = 6,
    kPyrOutOfMemory = 7,
    kPyrIoError = 9,
    kPyrBadArgument = 10,
    kPyrAccessDenied = 1004,
    kPyrPathInvalid = 1007,
    kPyrPathTooLong = 1008,
    kPyrPathInvalidEntry = 1009,
    kPyrAlreadyExists = 1010,
    // A warning: the text was given, but bytes of the G1 half (0x80 and above) came without
    // a designation that any listed character set fits. They were read with the first listed
    // set that has a G1 set, or, where none has, each run of them became U+FFFD; the rest of
    // the value is whole. Callers may log it and use the text as they would on success.
    kPyrUndesignatedText = 3001,
    kPyrBadPosition = 5000,
    kPyrUnmapFailed = 5002,
    kPyrNoValue = 5004,
};

// Success, or a warning that still delivered the result.
constexpr bool PyrSucceeded(PyrDicomResult result)
{
    return result == kPyrSuccess || result == kPyrUndesignatedText;
}
