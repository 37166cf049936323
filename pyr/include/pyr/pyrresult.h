#pragma once

#include <cstdint>

// Result codes of every library operation that can fail.
using PyrDicomResult = uint32_t;

enum : PyrDicomResult {
    kPyrSuccess = 0,
    kPyrFailed = 1,                // a text conversion or file operation failed, no finer code
    kPyrBadFirstFragment = 6,
    kPyrOutOfMemory = 7,
    kPyrIoError = 9,
    kPyrBadArgument = 10,
    kPyrAccessDenied = 1004,
    kPyrPathInvalid = 1007,
    kPyrPathTooLong = 1008,
    kPyrPathInvalidEntry = 1009,
    kPyrAlreadyExists = 1010,
    kPyrBadPosition = 5000,
    kPyrUnmapFailed = 5002,
    kPyrNoValue = 5004,
};
