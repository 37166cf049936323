#include "pyr/pyrcharset.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "platform/platcodepage.h"
#include "pyr/pyrlog.h"
#include "pyr/pyrutils.h"
#include "pyrnothrow.h"

namespace PyrDicomLib {

const CharsetInfomationData CharsetInfomationTable[] = {
    {u"", 0, 0, 0, 0, 'B', 0, 1252, 0},
    {u"ISO_IR 100", 0, 2, 0, 0, 'B', 'A', 28591, 0},
    {u"ISO_IR 101", 0, 2, 0, 0, 'B', 'B', 28592, 0},
    {u"ISO_IR 109", 0, 2, 0, 0, 'B', 'C', 28593, 0},
    {u"ISO_IR 110", 0, 2, 0, 0, 'B', 'D', 28594, 0},
    {u"ISO_IR 144", 0, 2, 0, 0, 'B', 'L', 28595, 0},
    {u"ISO_IR 127", 0, 2, 0, 0, 'B', 'G', 28596, 0},
    {u"ISO_IR 126", 0, 2, 0, 0, 'B', 'F', 28597, 0},
    {u"ISO_IR 138", 0, 2, 0, 0, 'B', 'H', 28598, 0},
    {u"ISO_IR 148", 0, 2, 0, 0, 'B', 'M', 28599, 0},
    {u"ISO_IR 13", 0, 2, 0, 0, 'J', 'I', 932, 0},
    {u"ISO_IR 166", 0, 2, 0, 0, 'B', 'T', 874, 0},
    {u"ISO 2022 IR 6", 1, 2, 0, 0, 'B', 0, 1252, 0},
    {u"ISO 2022 IR 100", 1, 2, 0, 0, 'B', 'A', 28591, 0},
    {u"ISO 2022 IR 101", 1, 2, 0, 0, 'B', 'B', 28592, 0},
    {u"ISO 2022 IR 109", 1, 2, 0, 0, 'B', 'C', 28593, 0},
    {u"ISO 2022 IR 110", 1, 2, 0, 0, 'B', 'D', 28594, 0},
    {u"ISO 2022 IR 144", 1, 2, 0, 0, 'B', 'L', 28595, 0},
    {u"ISO 2022 IR 127", 1, 2, 0, 0, 'B', 'G', 28596, 0},
    {u"ISO 2022 IR 126", 1, 2, 0, 0, 'B', 'F', 28597, 0},
    {u"ISO 2022 IR 138", 1, 2, 0, 0, 'B', 'H', 28598, 0},
    {u"ISO 2022 IR 148", 1, 2, 0, 0, 'B', 'M', 28599, 0},
    {u"ISO 2022 IR 13", 1, 1, 0, 0, 'J', 'I', 932, 0},
    {u"ISO 2022 IR 166", 1, 2, 0, 0, 'B', 'T', 874, 0},
    {u"ISO 2022 IR 87", 1, 0, 1, 0, 'B', 0, 50221, 1},
    {u"ISO 2022 IR 159", 1, 0, 1, 0, 'D', 0, 50221, 1},
    {u"ISO 2022 IR 149", 1, 1, 0, 1, 'B', 'C', 51949, 0},
    {u"ISO_IR 192", 0, 0, 1, 0, 0, 0, 65001, 0},
    {u"GB18030", 0, 0, 1, 0, 0, 0, 54936, 0},
    {u"ISO 2022 IR 58", 1, 1, 0, 1, 'B', 'A', 936, 0},
    {u"ISO 2022 IR 171", 1, 0, 0, 0, 'B', 'G', 950, 0},
    {u"ISO 2022 IR 172", 1, 0, 0, 0, 'B', 'H', 950, 0},
    {u"ISO 2022 IR 183", 1, 0, 0, 0, 'B', 'I', 950, 0},
    {u"CP1250", 0, 2, 0, 0, 'B', 'B', 1250, 0},
    {u"CP1251", 0, 2, 0, 0, 'B', 'L', 1251, 0},
    {u"CP1253", 0, 2, 0, 0, 'B', 'F', 1253, 0},
    {u"CP1254", 0, 2, 0, 0, 'B', 'M', 1254, 0},
    {u"CP1255", 0, 2, 0, 0, 'B', 'H', 1255, 0},
    {u"CP1256", 0, 2, 0, 0, 'B', 'G', 1256, 0},
    {nullptr, 0, 0, 0, 0, 0, 0, 0, 0},
};

namespace {

constexpr char kEsc = '\x1B';

// ASCII and the Roman half of JIS X 0201 differ only in two glyphs and count as one set.
bool SameRoman(uint8_t a, uint8_t b)
{
    return (a == 'B' && b == 'J') || (a == 'J' && b == 'B');
}

bool IsCnsTerm(const CharsetInfomationData& record)
{
    const std::u16string_view term(record.definedTerm);
    return term == u"ISO 2022 IR 171" || term == u"ISO 2022 IR 172" || term == u"ISO 2022 IR 183";
}

const CharsetInfomationData* FindTerm(const CharsetList& records, const char16_t* term)
{
    for (const CharsetInfomationData* record : records) {
        if (std::u16string_view(record->definedTerm) == term) {
            return record;
        }
    }
    return nullptr;
}

const CharsetInfomationData* FirstFit(const CharsetList& records, const EscapeSequenceState& state)
{
    for (const CharsetInfomationData* record : records) {
        if (Fits(state, *record)) {
            return record;
        }
    }
    return nullptr;
}

// The same bytes read through the other register: a 7-bit set invoked into G0 becomes
// its 8-bit form in G1 and back.
EscapeSequenceState Exchanged(const EscapeSequenceState& state)
{
    EscapeSequenceState out = state;
    std::swap(out.g0MultiByte, out.g1MultiByte);
    std::swap(out.g0SetSize, out.g1SetSize);
    std::swap(out.g0Final, out.g1Final);
    for (char& c : out.bytes) {
        c = static_cast<char>(static_cast<uint8_t>(c) ^ 0x80);
    }
    return out;
}

// Bytes after which the initial designations must hold again: control characters,
// the value separator, and in person names the component delimiters.
bool EndsLine(uint8_t b, PyrDicomVR vr)
{
    if (b < 0x20) {
        return b != 0x1B;
    }
    if (b == '\\') {
        return vr != kPyrVR_LT && vr != kPyrVR_ST && vr != kPyrVR_UT;
    }
    return vr == kPyrVR_PN && (b == '^' || b == '=');
}

// Puts `designation` in front of every line that holds bytes of the G1 half.
std::string DesignateLines(const std::string& raw, const std::string& designation, uint32_t codePage, PyrDicomVR vr)
{
    std::string out;
    out.reserve(raw.size() + designation.size() * 4);
    size_t lineStart = 0;
    bool high = false;
    auto flush = [&](size_t end) {
        if (high) {
            out += designation;
        }
        out.append(raw, lineStart, end - lineStart);
        lineStart = end;
        high = false;
    };
    for (size_t i = 0; i < raw.size();) {
        const uint8_t b = static_cast<uint8_t>(raw[i]);
        if (b >= 0x80) {
            high = true;
            i += PlatIsDBCSLeadByte(codePage, b) && i + 1 < raw.size() ? 2 : 1;   // a trail byte is never a delimiter
            continue;
        }
        ++i;
        if (EndsLine(b, vr)) {
            flush(i);
        }
    }
    flush(raw.size());
    return out;
}

PyrDicomResult AppendChecked(PyrString& text, const PyrString& piece)
{
    const uint32_t before = text.GetLength();
    text.Append(piece);
    return text.GetLength() == before + piece.GetLength() ? kPyrSuccess : kPyrOutOfMemory;
}

// CNS 11643 planes 1 to 3 in G1 (ESC $ ) G, H, I) are read through EUC-TW, which covers
// every plane, so no character is lost on the way through Big5.
PyrDicomResult DecodeCns(PyrString& text, std::string_view bytes, const CharsetList& records, bool osConversion)
{
    const uint8_t first = records.front()->g1Final;
    uint8_t plane = first >= 'G' && first <= 'I' ? first : 0;
    std::string euc;
    euc.reserve(bytes.size() + bytes.size() / 2);
    for (size_t i = 0; i < bytes.size();) {
        const uint8_t b = static_cast<uint8_t>(bytes[i]);
        if (b == 0x1B) {
            size_t j = i + 1;
            while (j < bytes.size() && static_cast<uint8_t>(bytes[j]) >= 0x20 &&
                   static_cast<uint8_t>(bytes[j]) <= 0x2F) {
                ++j;
            }
            if (j >= bytes.size()) {
                break;
            }
            const std::string_view sequence = bytes.substr(i + 1, j - i);
            if (sequence == "$)G" || sequence == "$)H" || sequence == "$)I") {
                plane = static_cast<uint8_t>(sequence.back());
            }
            i = j + 1;
            continue;
        }
        if (b < 0x80) {
            euc.push_back(static_cast<char>(b));
            ++i;
            continue;
        }
        const uint8_t trail = i + 1 < bytes.size() ? static_cast<uint8_t>(bytes[i + 1]) : 0;
        if (plane == 0 || b < 0xA1 || b == 0xFF || trail < 0xA1 || trail == 0xFF) {
            euc.push_back('\xFF');   // read as U+FFFD
            ++i;
            continue;
        }
        if (plane != 'G') {
            euc.push_back('\x8E');
            euc.push_back(static_cast<char>(0xA1 + (plane - 'G')));
        }
        euc.push_back(static_cast<char>(b));
        euc.push_back(static_cast<char>(trail));
        i += 2;
    }
    return ToPyrString(text, euc.c_str(), kPlatCodePageEucTw, osConversion);
}

PyrDicomResult EncodeCns(std::string& bytes, const PyrString& text, bool osConversion)
{
    static const char* const kFunction = __PRETTY_FUNCTION__;
    std::string euc;
    const PyrDicomResult result = ToLocaleChar(euc, text, kPlatCodePageEucTw, osConversion);
    if (result != kPyrSuccess) {
        return result;
    }
    std::string out;
    uint8_t plane = 0;
    for (size_t i = 0; i < euc.size();) {
        const uint8_t b = static_cast<uint8_t>(euc[i]);
        if (b < 0x80) {
            out.push_back(static_cast<char>(b));
            plane = 0;   // each run of CNS characters carries its own designation
            ++i;
            continue;
        }
        uint8_t wanted = 'G';
        size_t lead = i;
        if (b == 0x8E) {
            const uint8_t p = i + 1 < euc.size() ? static_cast<uint8_t>(euc[i + 1]) : 0;
            if (p < 0xA1 || p > 0xA3 || i + 3 >= euc.size()) {
                pyrutils::WriteLastErrorToLog(kFunction, EILSEQ);
                return kPyrFailed;   // planes beyond 3 have no designation here
            }
            wanted = static_cast<uint8_t>('G' + (p - 0xA1));
            lead = i + 2;
        }
        if (lead + 1 >= euc.size()) {
            return kPyrFailed;
        }
        if (plane != wanted) {
            out += "\x1B$)";
            out.push_back(static_cast<char>(wanted));
            plane = wanted;
        }
        out.push_back(euc[lead]);
        out.push_back(euc[lead + 1]);
        i = lead + 2;
    }
    bytes = std::move(out);
    return kPyrSuccess;
}

}   // namespace

EscapeSequenceState InitialState(const CharsetInfomationData& record)
{
    EscapeSequenceState state;
    state.g0MultiByte = record.g0MultiByte;
    state.g1MultiByte = record.g1MultiByte;
    state.g0SetSize = 1;
    state.g1SetSize = record.g1SetSize;
    state.g0Final = record.g0Final;
    state.g1Final = record.g1Final;
    return state;
}

namespace {

PyrDicomResult ParseTerms(CharsetList& records, const PyrString& value)
{
    static const char* const kFunction = __PRETTY_FUNCTION__;
    records.clear();
    records.reserve(4);
    if (value.IsEmpty()) {
        records.push_back(&CharsetInfomationTable[0]);
        return kPyrSuccess;
    }
    std::vector<std::u16string_view> terms;
    for (size_t start = 0;;) {
        const size_t slash = value.View().find(u'\\', start);
        terms.push_back(value.View().substr(start, slash == std::u16string_view::npos ? slash : slash - start));
        if (slash == std::u16string_view::npos) {
            break;
        }
        start = slash + 1;
    }
    const std::vector<CharsetInfomationData>& further = FurtherCharsetInformation();
    for (const std::u16string_view term : terms) {
        const CharsetInfomationData* found = nullptr;
        for (const CharsetInfomationData* row = CharsetInfomationTable; row->definedTerm != nullptr; ++row) {
            if (term == std::u16string_view(row->definedTerm)) {
                found = row;
                break;
            }
        }
        for (size_t i = 0; found == nullptr && i < further.size(); ++i) {
            if (further[i].definedTerm != nullptr && term == std::u16string_view(further[i].definedTerm)) {
                found = &further[i];
            }
        }
        if (found != nullptr) {
            records.push_back(found);
        } else {
            PyrWriteLog(kFunction, kPyrLogWarning, -1, u"A specific character set couldn't be recognized. ('%s')",
                        value);
        }
    }
    if (records.empty()) {
        PyrWriteLog(kFunction, kPyrLogWarning, -1, u"Any specific character sets couldn't be recognized. ('%s')",
                    value);
        records.push_back(&CharsetInfomationTable[0]);
    }
    return kPyrSuccess;
}

}   // namespace

PyrDicomResult ParseSpecificCharacterSet(CharsetList& records, const PyrString& value)
{
    const PyrDicomResult r = PyrNoThrow([&] { return ParseTerms(records, value); });
    if (r != kPyrSuccess) {
        records.clear();
    }
    return r;
}

namespace {

PyrDicomResult SplitAtEscapes(std::vector<EscapeSequenceState>& states, std::string_view bytes,
                              const EscapeSequenceState& initial, PyrDicomVR /*vr*/)
{
    static const char* const kFunction = __PRETTY_FUNCTION__;
    states.clear();
    if (bytes.empty()) {
        return kPyrSuccess;
    }
    size_t pieceEnd = bytes.find(kEsc);
    states.push_back(initial);
    states.back().bytes.assign(bytes.substr(0, pieceEnd));

    while (pieceEnd != std::string_view::npos) {
        const size_t pieceStart = pieceEnd;
        pieceEnd = bytes.find(kEsc, pieceStart + 1);
        const std::string_view piece = bytes.substr(
            pieceStart, pieceEnd == std::string_view::npos ? std::string_view::npos : pieceEnd - pieceStart);

        enum { None, G0, G1Of94, G1Of96 } target = None;
        bool multiByte = false;
        bool complete = false;
        for (size_t i = 1; i < piece.size(); ++i) {
            const uint8_t b = static_cast<uint8_t>(piece[i]);
            if (b == '$') {
                multiByte = true;
            } else if (b == '(') {
                if (target != G1Of94 && target != G1Of96) {
                    target = G0;
                }
            } else if (b == ')' || b == '-') {
                if (target != G0) {
                    target = b == ')' ? G1Of94 : G1Of96;
                }
            } else if (b >= 0x20 && b <= 0x2F) {
                PyrWriteLog(kFunction, kPyrLogWarning, -1, u"Unknown middle-character of escape sequence. ('0x%02x')",
                            b);
            } else if (b < 0x20) {
                PyrWriteLog(kFunction, kPyrLogWarning, -1, u"Invalid escape sequence. ('0x%02x')", b);
            } else if (b <= 0x7F) {
                if (target == None && multiByte && (b == 0x40 || b == 'A' || b == 'B')) {
                    target = G0;   // ESC $ @, ESC $ A, ESC $ B
                }
                EscapeSequenceState state = states.back();
                if (target == G0) {
                    state.g0Final = b;
                    state.g0SetSize = 1;
                    state.g0MultiByte = multiByte ? 1 : 0;
                } else if (target != None) {
                    state.g1Final = b;
                    state.g1SetSize = target == G1Of94 ? 1 : 2;
                    state.g1MultiByte = multiByte ? 1 : 0;
                }
                state.bytes.assign(piece.substr(i + 1));
                states.push_back(std::move(state));
                complete = true;
                break;
            } else {
                PyrWriteLog(kFunction, kPyrLogWarning, -1, u"Invalid escape sequence. ('0x%02x')", b);
                complete = true;   // dropped, and already reported
                break;
            }
        }
        if (!complete) {
            PyrWriteLog(kFunction, kPyrLogWarning, -1, u"Incomplete escape sequence.");
        }
    }
    return kPyrSuccess;
}

}   // namespace

PyrDicomResult ParseEscapeSequence(std::vector<EscapeSequenceState>& states, std::string_view bytes,
                                   const EscapeSequenceState& initial, PyrDicomVR vr)
{
    const PyrDicomResult r = PyrNoThrow([&] { return SplitAtEscapes(states, bytes, initial, vr); });
    if (r != kPyrSuccess) {
        states.clear();
    }
    return r;
}

bool Fits(const EscapeSequenceState& state, const CharsetInfomationData& record)
{
    bool usesG0 = false;
    bool usesG1 = false;
    for (char c : state.bytes) {
        (static_cast<uint8_t>(c) < 0x80 ? usesG0 : usesG1) = true;
    }
    if (usesG0) {
        const bool fits =
            record.g0Final != 0 && record.g0MultiByte == state.g0MultiByte && state.g0SetSize == 1 &&
            (record.g0Final == state.g0Final || (state.g0MultiByte == 0 && SameRoman(state.g0Final, record.g0Final)));
        if (!fits) {
            return false;
        }
    }
    if (usesG1) {
        const bool fits =
            record.g1Final != 0 && record.g1MultiByte == state.g1MultiByte && state.g1SetSize == record.g1SetSize &&
            (record.g1Final == state.g1Final ||
             (state.g1MultiByte == 0 && state.g1SetSize == 1 && SameRoman(state.g1Final, record.g1Final)));
        if (!fits) {
            return false;
        }
    }
    return true;
}

std::string BuildEscapeSequence(const CharsetInfomationData& record, EscapeSequenceState& current, bool update)
{
    std::string out;
    if (record.g0Final != 0) {
        const uint8_t f = record.g0Final;
        const bool same = current.g0MultiByte == 0 && record.g0MultiByte == 0 && current.g0SetSize == 1 &&
                          (current.g0Final == f || SameRoman(current.g0Final, f));
        if (!same) {
            out.push_back(kEsc);
            if (record.g0MultiByte != 0) {
                out.push_back('$');
            }
            if (!(record.g0MultiByte != 0 && (f == 0x40 || f == 'A' || f == 'B'))) {
                out.push_back('(');
            }
            out.push_back(static_cast<char>(f));
        }
        if (update) {
            current.g0Final = f;
            current.g0MultiByte = record.g0MultiByte;
            current.g0SetSize = 1;
        }
    }
    if (record.g1Final != 0) {
        const uint8_t f = record.g1Final;
        const bool same = current.g1MultiByte == 0 && record.g1MultiByte == 0 &&
                          current.g1SetSize == record.g1SetSize &&
                          (current.g1Final == f || SameRoman(current.g1Final, f));
        if (!same) {
            out.push_back(kEsc);
            if (record.g1MultiByte != 0) {
                out.push_back('$');
            }
            out.push_back(record.g1SetSize == 2 ? '-' : ')');
            out.push_back(static_cast<char>(f));
        }
        if (update) {
            current.g1Final = f;
            current.g1MultiByte = record.g1MultiByte;
            current.g1SetSize = record.g1SetSize;
        }
    }
    return out;
}

namespace {

bool UsesG1(const EscapeSequenceState& state)
{
    return std::any_of(state.bytes.begin(), state.bytes.end(), [](char c) { return static_cast<uint8_t>(c) >= 0x80; });
}

// Decodes one segment with the record it fits and appends it to the text.
PyrDicomResult AppendDecoded(PyrString& text, const std::string& bytes, const CharsetInfomationData& record,
                             const EscapeSequenceState& initial, bool osConversion)
{
    std::string segment;
    if (record.escapeInInput != 0) {
        // The code page starts every call in ASCII, so the designation always goes in front.
        EscapeSequenceState current = initial;
        segment = BuildEscapeSequence(record, current, false);
    }
    segment += bytes;
    PyrString piece;
    const PyrDicomResult r = ToPyrString(piece, segment.c_str(), record.codePage, osConversion);
    return r == kPyrSuccess ? AppendChecked(text, piece) : r;
}

// A segment whose G1 bytes no listed set can read: its G0 runs are decoded as designated,
// each run of G1 bytes becomes one U+FFFD.
PyrDicomResult AppendG0Part(PyrString& text, const EscapeSequenceState& state, const CharsetList& records,
                            const EscapeSequenceState& initial, bool osConversion)
{
    EscapeSequenceState run = state;
    for (size_t i = 0; i < state.bytes.size();) {
        const bool high = static_cast<uint8_t>(state.bytes[i]) >= 0x80;
        size_t end = i;
        while (end < state.bytes.size() && (static_cast<uint8_t>(state.bytes[end]) >= 0x80) == high) {
            ++end;
        }
        if (high) {
            if (const PyrDicomResult r = AppendChecked(text, PyrString(u"\uFFFD")); r != kPyrSuccess) {
                return r;
            }
        } else {
            run.bytes.assign(state.bytes, i, end - i);
            if (const CharsetInfomationData* record = FirstFit(records, run)) {
                if (const PyrDicomResult r = AppendDecoded(text, run.bytes, *record, initial, osConversion);
                    r != kPyrSuccess) {
                    return r;
                }
            }
        }
        i = end;
    }
    return kPyrSuccess;
}

PyrDicomResult DecodeValue(PyrString& text, std::string_view bytes, const PyrString& specificCharacterSet,
                           PyrDicomVR vr, bool osConversion)
{
    static const char* const kFunction = __PRETTY_FUNCTION__;
    CharsetList records;
    if (const PyrDicomResult r = ParseSpecificCharacterSet(records, specificCharacterSet); r != kPyrSuccess) {
        return r;
    }

    if (records.size() == 1) {
        if (records.front()->iso2022 != 0) {
            PyrWriteLog(kFunction, kPyrLogWarning, -1,
                        u"Only single character set was specified, but the code extension was used. (%s)",
                        specificCharacterSet);
        }
        const std::string terminated(bytes);
        return ToPyrString(text, terminated.c_str(), records.front()->codePage, osConversion);
    }
    for (const CharsetInfomationData* record : records) {
        if (IsCnsTerm(*record)) {
            return DecodeCns(text, bytes, records, osConversion);
        }
    }

    const EscapeSequenceState initial = InitialState(*records.front());
    // Writers that leave out the G1 designation mean the set listed for it, as other readers take it.
    const CharsetInfomationData* assumedG1 = nullptr;
    for (const CharsetInfomationData* record : records) {
        if (record->g1Final != 0) {
            assumedG1 = record;
            break;
        }
    }
    std::vector<EscapeSequenceState> states;
    if (const PyrDicomResult r = ParseEscapeSequence(states, bytes, initial, vr); r != kPyrSuccess) {
        return r;
    }
    PyrDicomResult outcome = kPyrSuccess;
    PyrString result;
    for (EscapeSequenceState& state : states) {
        if (state.bytes.empty()) {
            continue;
        }
        const CharsetInfomationData* record = FirstFit(records, state);
        const bool undesignated = state.g1Final == initial.g1Final && state.g1SetSize == initial.g1SetSize &&
                                  state.g1MultiByte == initial.g1MultiByte;
        if (record == nullptr && assumedG1 != nullptr && undesignated && UsesG1(state)) {
            state.g1Final = assumedG1->g1Final;
            state.g1MultiByte = assumedG1->g1MultiByte;
            state.g1SetSize = assumedG1->g1SetSize;
            record = FirstFit(records, state);
            outcome = record != nullptr ? kPyrUndesignatedText : outcome;
        }
        PyrDicomResult r = kPyrSuccess;
        if (record != nullptr) {
            r = AppendDecoded(result, state.bytes, *record, initial, osConversion);
        } else {
            PyrWriteLog(kFunction, kPyrLogWarning, -1,
                        u"Couldn't convert characters by the specific character set. ('%s')", specificCharacterSet);
            if (UsesG1(state)) {
                // The part in G0 is still good text: keep it rather than lose the whole segment.
                r = AppendG0Part(result, state, records, initial, osConversion);
                outcome = kPyrUndesignatedText;
            }
        }
        if (r != kPyrSuccess) {
            return r;
        }
    }
    text = std::move(result);
    return outcome;
}

}   // namespace

PyrDicomResult ConvertDicomCharEncodeToUtf16(PyrString& text, std::string_view bytes,
                                             const PyrString& specificCharacterSet, PyrDicomVR vr, bool osConversion)
{
    return PyrNoThrow([&] { return DecodeValue(text, bytes, specificCharacterSet, vr, osConversion); });
}

namespace {

PyrDicomResult EncodeValue(std::string& bytes, const PyrString& text, const PyrString& specificCharacterSet,
                           PyrDicomVR vr, bool osConversion)
{
    static const char* const kFunction = __PRETTY_FUNCTION__;
    CharsetList records;
    if (const PyrDicomResult r = ParseSpecificCharacterSet(records, specificCharacterSet); r != kPyrSuccess) {
        return r;
    }

    if (records.size() == 1) {
        if (records.front()->iso2022 != 0) {
            PyrWriteLog(kFunction, kPyrLogWarning, -1,
                        u"Only One character set specified, but using Code extensions. (%s)", specificCharacterSet);
        }
        return ToLocaleChar(bytes, text, records.front()->codePage, osConversion);
    }
    for (const CharsetInfomationData* record : records) {
        if (IsCnsTerm(*record)) {
            return EncodeCns(bytes, text, osConversion);
        }
    }

    const CharsetInfomationData* korean = FindTerm(records, u"ISO 2022 IR 149");
    const CharsetInfomationData* chinese = korean != nullptr ? nullptr : FindTerm(records, u"ISO 2022 IR 58");
    if (korean != nullptr || chinese != nullptr) {
        const CharsetInfomationData* record = korean != nullptr ? korean : chinese;
        std::string raw;
        const PyrDicomResult r = ToLocaleChar(raw, text, record->codePage, osConversion);
        if (r != kPyrSuccess) {
            return r;
        }
        bytes = DesignateLines(raw, korean != nullptr ? "\x1B$)C" : "\x1B$)A", record->codePage, vr);
        return kPyrSuccess;
    }

    const CharsetInfomationData* flagged = nullptr;
    for (const CharsetInfomationData* record : records) {
        if (record->escapeInInput != 0) {
            flagged = record;
            break;
        }
    }

    if (flagged == nullptr) {
        const CharsetInfomationData* record = records.front();
        for (const CharsetInfomationData* candidate : records) {
            if (candidate->g1Final != 0) {
                record = candidate;
                break;
            }
        }
        std::string raw;
        const PyrDicomResult r = ToLocaleChar(raw, text, record->codePage, osConversion);
        if (r != kPyrSuccess) {
            return r;
        }
        // When the set is not the first value's, its G1 must be designated, or a reader
        // (this one included) would drop every line that uses it.
        EscapeSequenceState initial = InitialState(*records.front());
        const std::string designation = BuildEscapeSequence(*record, initial, false);
        bytes = designation.empty() ? std::move(raw) : DesignateLines(raw, designation, record->codePage, vr);
        return kPyrSuccess;
    }

    std::string raw;
    const PyrDicomResult r = ToLocaleChar(raw, text, flagged->codePage, osConversion);
    if (r != kPyrSuccess) {
        return r;
    }
    EscapeSequenceState running = InitialState(*records.front());
    std::vector<EscapeSequenceState> states;
    if (const PyrDicomResult split = ParseEscapeSequence(states, raw, running, vr); split != kPyrSuccess) {
        return split;
    }
    std::string out;
    for (const EscapeSequenceState& state : states) {
        const CharsetInfomationData* record = FirstFit(records, state);
        const std::string* segment = &state.bytes;
        EscapeSequenceState exchanged;
        if (record == nullptr) {
            exchanged = Exchanged(state);
            record = FirstFit(records, exchanged);
            segment = &exchanged.bytes;
        }
        if (record == nullptr) {
            // Leaving the characters out would store a different text than the caller gave.
            PyrWriteLog(kFunction, kPyrLogWarning, -1,
                        u"Cannot convert characters by using specific character set. ('%s')", specificCharacterSet);
            return kPyrFailed;
        }
        out += BuildEscapeSequence(*record, running, true);
        out += *segment;
    }
    out += BuildEscapeSequence(*records.front(), running, true);
    bytes = std::move(out);
    return kPyrSuccess;
}

}   // namespace

PyrDicomResult ConvertUtf16ToDicomCharEncode(std::string& bytes, const PyrString& text,
                                             const PyrString& specificCharacterSet, PyrDicomVR vr, bool osConversion)
{
    return PyrNoThrow([&] { return EncodeValue(bytes, text, specificCharacterSet, vr, osConversion); });
}

PyrDicomResult ToPyrString(PyrString& text, const char* bytes, uint32_t codePage, bool /*osConversion*/)
{
    static const char* const kFunction = __PRETTY_FUNCTION__;
    return PyrNoThrow([&] {   // Both conversion routes of the original platform end in the same converter here.
        std::u16string wide;
        const PlatConvertStatus status =
            PlatMultiByteToUtf16(codePage, bytes != nullptr ? std::string_view(bytes) : std::string_view(), wide);
        if (status == PlatConvertStatus::OutOfMemory) {
            return kPyrOutOfMemory;
        }
        if (status != PlatConvertStatus::Ok) {
            pyrutils::WriteLastErrorToLog(kFunction, EINVAL);
            return kPyrFailed;
        }
        PyrString converted(wide.c_str(), wide.size() <= INT32_MAX ? static_cast<int32_t>(wide.size()) : -1);
        if (converted.GetLength() != wide.size() && wide.find(u'\0') == std::u16string::npos) {
            return kPyrOutOfMemory;
        }
        text = std::move(converted);
        return kPyrSuccess;
    });
}

PyrDicomResult ToLocaleChar(std::string& bytes, const PyrString& text, uint32_t codePage, bool /*osConversion*/)
{
    static const char* const kFunction = __PRETTY_FUNCTION__;
    return PyrNoThrow([&] {
        std::string converted;
        const PlatConvertStatus status = PlatUtf16ToMultiByte(codePage, text.View(), converted);
        if (status == PlatConvertStatus::OutOfMemory) {
            return kPyrOutOfMemory;
        }
        if (status != PlatConvertStatus::Ok) {
            pyrutils::WriteLastErrorToLog(kFunction, status == PlatConvertStatus::Unmappable ? EILSEQ : EINVAL);
            return kPyrFailed;
        }
        bytes = std::move(converted);
        return kPyrSuccess;
    });
}

}   // namespace PyrDicomLib
