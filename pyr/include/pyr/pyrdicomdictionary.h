#pragma once

#include <cstdint>
#include <vector>

#include "pyr/pyrresult.h"

// A value representation: its two ASCII characters, the first in the low byte ("AE" = 0x4541).
using PyrDicomVR = uint32_t;

constexpr PyrDicomVR PyrMakeVR(char first, char second)
{
    return static_cast<PyrDicomVR>(static_cast<uint8_t>(first)) |
           (static_cast<PyrDicomVR>(static_cast<uint8_t>(second)) << 8);
}

constexpr PyrDicomVR kPyrVRUnset = 0x2020;   // two blanks: not known yet
constexpr PyrDicomVR kPyrVR_OB = PyrMakeVR('O', 'B');
constexpr PyrDicomVR kPyrVR_OW = PyrMakeVR('O', 'W');
constexpr PyrDicomVR kPyrVR_PN = PyrMakeVR('P', 'N');
constexpr PyrDicomVR kPyrVR_SS = PyrMakeVR('S', 'S');
constexpr PyrDicomVR kPyrVR_UN = PyrMakeVR('U', 'N');
constexpr PyrDicomVR kPyrVR_US = PyrMakeVR('U', 'S');
constexpr PyrDicomVR kPyrVR_LT = PyrMakeVR('L', 'T');
constexpr PyrDicomVR kPyrVR_ST = PyrMakeVR('S', 'T');
constexpr PyrDicomVR kPyrVR_UT = PyrMakeVR('U', 'T');
constexpr PyrDicomVR kPyrVR_LO = PyrMakeVR('L', 'O');

struct PyrDicomDictionaryEntry {
    uint32_t group;
    uint32_t element;
    uint32_t vmMin;
    uint32_t vmMaxOrStep;   // open-ended: the step of the repeat; else the maximum, 0 = the minimum
    uint32_t vmOpen;        // 1 for 1-n, 2-2n and the like
    PyrDicomVR vr;          // 0 where the dictionary gives none
    PyrDicomVR vr2;
    PyrDicomVR vr3;
    uint32_t retired;
    const char16_t* name;   // null ends a table
};

// Records that a dataset carries of its own; asked before the built-in tables.
using PyrDicomLocalDictionary = std::vector<PyrDicomDictionaryEntry>;

// Where each group starts in the main table, built once; read-only afterwards.
struct PyrDicomDictionaryIndex {
    struct Group {
        uint32_t group;
        uint32_t first;
        uint32_t end;
        bool sorted;   // elements ascending, so the group can be searched by halving
    };
    std::vector<Group> groups;   // ascending by group
    uint32_t mainCount = 0;
    uint32_t curveCount = 0;
    uint32_t overlayCount = 0;
    // Copies of the records without a VR, reading UN, so lookups never write into the tables.
    std::vector<PyrDicomDictionaryEntry> resolved;
    std::vector<const PyrDicomDictionaryEntry*> resolvedSources;
};

class PyrDicomDictionary {
public:
    static PyrDicomResult BuildIndex(PyrDicomDictionaryIndex& index);

    // The record for a tag, or null (the result is 0 either way). Safe from any thread.
    static PyrDicomResult Lookup(const PyrDicomLocalDictionary* local, uint32_t group, uint32_t element,
                                 const PyrDicomDictionaryEntry** record);
    // The record's VR, UN when the tag is unknown.
    static PyrDicomVR GetVR(const PyrDicomLocalDictionary* local, uint32_t group, uint32_t element);

    static const PyrDicomDictionaryEntry* MainTable();
    static const PyrDicomDictionaryEntry* CurveTable();     // group 50xx, stored as 0x5000
    static const PyrDicomDictionaryEntry* OverlayTable();   // group 60xx, stored as 0x6000
    static const PyrDicomDictionaryIndex& Index();
};
