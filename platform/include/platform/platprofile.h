#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Settings-file ("ini") reading. Sections and keys match without regard to ASCII case; the
// first matching key in file order wins; lines whose first non-blank character is ';' are
// comments. Values lose surrounding blanks and one pair of surrounding quotes. The file is
// UTF-16LE with a byte-order mark, else UTF-8 (its mark skipped) when the bytes are valid
// UTF-8, else code page 932. A missing file, section or key gives the default.
// A file larger than kPlatOwnFileLimit (platfile.h) is taken for missing, with a warning.
// The file last asked for is read once and held while it stays the same file with the same
// size and times; a rewrite that keeps all of them within the file system's time stamp
// granularity may go unseen.

// The value, or the default when the key is missing or its value is empty.
std::u16string PlatGetPrivateProfileString(std::u16string_view section, std::u16string_view key,
                                           std::u16string_view defaultValue, const std::string& path);

// An optional '-' and the leading digits ("102abc" reads 102, "abc" reads 0), saturated to
// 32 bits; the default when the key is missing or its value is empty.
int32_t PlatGetPrivateProfileInt(std::u16string_view section, std::u16string_view key, int32_t defaultValue,
                                 const std::string& path);

// Tests only: keeps the low bits of the index's name hashes (64 restores them all), so that
// different names share a hash; the held file is read again.
void PlatSetProfileHashBitsForTest(int bits);
