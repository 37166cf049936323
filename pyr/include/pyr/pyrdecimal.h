#pragma once

#include <cstdint>

// Numbers written in decimal (the text of IS and DS values), read in one pass over their
// characters and in constant memory whatever their length: blanks, a sign, digits (leading
// zeros and digits past a double's precision included), a fraction, an exponent last.
// Reading stops at the first character that cannot go on with the number, as the C parsers
// do; `stop` (when given) receives where, or `first` when there was no number. The result is
// false when no number starts there or the one there does not fit: an integer past int64_t,
// a real that is not finite (an exponent out of range). Infinity and NaN are not numbers.
//
// An integer is read as other readers of IS take one: any decimal whose value is exactly an
// integer ("3.0", "3e0", "+3.", "30e-1", "0003.000") is that integer, judged on its digits,
// never through a double, which would take "3.0000000000000001" for 3. A fraction ("7.5") is
// false with `stop` past it. `integral` (when given) tells whether the value is an integer,
// whether or not it fits.
bool PyrReadInteger(const char* first, const char* last, int64_t& value, const char** stop = nullptr,
                    bool* integral = nullptr);
bool PyrReadInteger(const char16_t* first, const char16_t* last, int64_t& value, const char16_t** stop = nullptr,
                    bool* integral = nullptr);
bool PyrReadReal(const char* first, const char* last, double& value, const char** stop = nullptr);
bool PyrReadReal(const char16_t* first, const char16_t* last, double& value, const char16_t** stop = nullptr);

// Where the value that holds a number read up to stop ends: past the blanks after the number,
// at last, a backslash or a zero unit (each ends a DICOM value). Null when anything else
// follows the number: then the value is not a number, whatever it starts with.
const char* PyrValueEnd(const char* stop, const char* last);
const char16_t* PyrValueEnd(const char16_t* stop, const char16_t* last);
// A value read whole: blanks aside, it is one number that fits, and nothing else (empty, blanks
// alone, "2.5abc", "0x10" and an integer written "7.5" are not; "3.0" is 3). `end` (when given) receives
// where the value ends, as PyrValueEnd gives it.
bool PyrReadWholeInteger(const char* first, const char* last, int64_t& value, const char** end = nullptr);
bool PyrReadWholeInteger(const char16_t* first, const char16_t* last, int64_t& value, const char16_t** end = nullptr);
bool PyrReadWholeReal(const char* first, const char* last, double& value, const char** end = nullptr);
bool PyrReadWholeReal(const char16_t* first, const char16_t* last, double& value, const char16_t** end = nullptr);
