#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pyr/pyrdicomdictionary.h"
#include "pyr/pyrresult.h"
#include "pyr/pyrstring.h"

// DICOM character sets: Specific Character Set values, ISO 2022 code extensions, and the
// conversion of text values to and from UTF-16.
namespace PyrDicomLib {

struct CharsetInfomationData {
    const char16_t* definedTerm;   // the Specific Character Set term; null ends the table
    uint32_t iso2022;              // 1: code extensions allowed
    uint32_t g1SetSize;            // 1: 94 characters, 2: 96 characters, 0: no G1 set
    uint8_t g0MultiByte;
    uint8_t g1MultiByte;
    uint8_t g0Final;   // final byte of the designation, 0 when none
    uint8_t g1Final;
    uint32_t codePage;
    uint32_t escapeInInput;   // 1: the code page reads the designations itself
};

extern const CharsetInfomationData CharsetInfomationTable[];

// Records besides the table, searched after it. The library adds none.
std::vector<CharsetInfomationData>& FurtherCharsetInformation();

struct EscapeSequenceState {
    std::string bytes;
    uint8_t g0MultiByte = 0;
    uint8_t g1MultiByte = 0;
    uint32_t g0SetSize = 0;   // 1: 94 characters
    uint32_t g1SetSize = 0;   // 1: 94, 2: 96
    uint8_t g0Final = 0;
    uint8_t g1Final = 0;
};

using CharsetList = std::vector<const CharsetInfomationData*>;

EscapeSequenceState InitialState(const CharsetInfomationData& record);

// Never empty on success: unrecognised terms fall back to the default repertoire.
PyrDicomResult ParseSpecificCharacterSet(CharsetList& records, const PyrString& value);

// The bytes split at escape sequences, each piece with the designations in force for it.
PyrDicomResult ParseEscapeSequence(std::vector<EscapeSequenceState>& states, std::string_view bytes,
                                   const EscapeSequenceState& initial, PyrDicomVR vr);

bool Fits(const EscapeSequenceState& state, const CharsetInfomationData& record);

// The escape sequences that designate the record's sets, omitting those already in force.
// At most 8 bytes, so the string never allocates.
std::string BuildEscapeSequence(const CharsetInfomationData& record, EscapeSequenceState& current, bool update);

// Bytes to text. kPyrUndesignatedText when G1 bytes came without a designation that a listed
// set fits: the text is still given, read as that code describes.
PyrDicomResult ConvertDicomCharEncodeToUtf16(PyrString& text, std::string_view bytes,
                                             const PyrString& specificCharacterSet, PyrDicomVR vr, bool osConversion);
PyrDicomResult ConvertUtf16ToDicomCharEncode(std::string& bytes, const PyrString& text,
                                             const PyrString& specificCharacterSet, PyrDicomVR vr, bool osConversion);

// Zero-terminated bytes of a code page to UTF-16 and back: 0, 1 (no conversion), 7 (no memory).
PyrDicomResult ToPyrString(PyrString& text, const char* bytes, uint32_t codePage, bool osConversion);
PyrDicomResult ToLocaleChar(std::string& bytes, const PyrString& text, uint32_t codePage, bool osConversion);

}   // namespace PyrDicomLib
