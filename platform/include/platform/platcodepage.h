#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Code-page conversion between byte encodings and UTF-16, keyed by Windows code-page
// numbers so that callers can keep the numbers DICOM character-set tables use.
//
// Supported: 874, 932, 936, 949, 950, 1250-1256, 28591-28599, 50221 (ISO-2022-JP with
// half-width katakana and JIS X 0212), 51932 (EUC-JP), 51949 (EUC-KR), 51950 (EUC-TW),
// 54936 (GB18030), 65001 (UTF-8).

enum class PlatConvertStatus {
    Ok,
    UnsupportedCodePage,
    Unmappable,   // a character the target code page cannot hold, or a lone surrogate
    OutOfMemory,
};

constexpr uint32_t kPlatCodePageIso2022Jp = 50221;
constexpr uint32_t kPlatCodePageEucJp = 51932;
constexpr uint32_t kPlatCodePageEucTw = 51950;
constexpr uint32_t kPlatCodePageUtf8 = 65001;

bool PlatIsCodePageSupported(uint32_t codePage);

// Bytes to UTF-16. Malformed input becomes U+FFFD and conversion goes on, so a damaged
// byte costs one character, not the whole text.
PlatConvertStatus PlatMultiByteToUtf16(uint32_t codePage, std::string_view bytes, std::u16string& out);

// UTF-16 to bytes. Nothing is substituted: a character the code page lacks fails the call.
PlatConvertStatus PlatUtf16ToMultiByte(uint32_t codePage, std::u16string_view text, std::string& out);

// True when the byte starts a two-byte character in a double-byte code page (932, 936, 949,
// 950, 51949); single-byte and other code pages have no lead bytes.
bool PlatIsDBCSLeadByte(uint32_t codePage, uint8_t byte);

// The length of the UTF-8 character that starts bytes, with its code point: strict, so no
// overlong form, surrogate or code point above U+10FFFF; 0 when none starts there.
size_t PlatUtf8Character(std::string_view bytes, uint32_t& codePoint);

// File names as the file system holds them (bytes, UTF-8 by convention) and as text. Valid
// UTF-8 reads as itself; each byte that is not part of a character (a name written in a
// legacy code page) becomes U+DC80 + byte, which the way back turns into that byte again, so
// every name survives the trip through text and still opens.
std::u16string PlatPathToUtf16(std::string_view bytes);
std::string PlatUtf16ToPath(std::u16string_view text);
