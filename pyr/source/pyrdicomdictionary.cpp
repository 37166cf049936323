#include "pyr/pyrdicomdictionary.h"

#include <algorithm>

#include "pyrlibrary_internal.h"
#include "pyrnothrow.h"

namespace {

#include "pyrdicomdictionary_data.inc"

// Repeating groups: curves 5000-501E and overlays 6000-601E, stored under their base group.
constexpr uint32_t kCurveBase = 0x5000;
constexpr uint32_t kOverlayBase = 0x6000;
constexpr uint32_t kRepeatLast = 0x1E;

uint32_t CountRecords(const PyrDicomDictionaryEntry* table)
{
    uint32_t n = 0;
    while (table[n].name != nullptr) {
        ++n;
    }
    return n;
}

const PyrDicomDictionaryEntry* Resolve(const PyrDicomDictionaryIndex& index, const PyrDicomDictionaryEntry* record)
{
    if (record == nullptr || record->vr != 0) {
        return record;
    }
    for (size_t i = 0; i < index.resolvedSources.size(); ++i) {
        if (index.resolvedSources[i] == record) {
            return &index.resolved[i];
        }
    }
    return record;   // only records outside the built-in tables get here
}

const PyrDicomDictionaryEntry* ScanRepeating(const PyrDicomDictionaryEntry* table, uint32_t count, uint32_t element)
{
    for (uint32_t i = 0; i < count; ++i) {
        if (table[i].element == element) {
            return &table[i];
        }
    }
    return nullptr;
}

PyrDicomResult Build(PyrDicomDictionaryIndex& index);

}   // namespace

const PyrDicomDictionaryEntry* PyrDicomDictionary::MainTable()
{
    return kMainTable;
}

const PyrDicomDictionaryEntry* PyrDicomDictionary::CurveTable()
{
    return kCurveTable;
}

const PyrDicomDictionaryEntry* PyrDicomDictionary::OverlayTable()
{
    return kOverlayTable;
}

const PyrDicomDictionaryIndex& PyrDicomDictionary::Index()
{
    return PyrLibraryDictionaryIndex();
}

PyrDicomResult PyrDicomDictionary::BuildIndex(PyrDicomDictionaryIndex& index)
{
    const PyrDicomResult r = PyrNoThrow([&] { return Build(index); });
    if (r != kPyrSuccess) {
        index = PyrDicomDictionaryIndex();
    }
    return r;
}

namespace {

PyrDicomResult Build(PyrDicomDictionaryIndex& index)
{
    index = PyrDicomDictionaryIndex();
    index.mainCount = CountRecords(kMainTable);
    index.curveCount = CountRecords(kCurveTable);
    index.overlayCount = CountRecords(kOverlayTable);

    // A group is indexed where it first appears; records of one group stand together.
    for (uint32_t i = 0; i < index.mainCount; ++i) {
        const uint32_t group = kMainTable[i].group;
        if (i != 0 && kMainTable[i - 1].group == group) {
            continue;
        }
        const bool known = std::any_of(index.groups.begin(), index.groups.end(),
                                       [group](const PyrDicomDictionaryIndex::Group& g) { return g.group == group; });
        if (known) {
            continue;
        }
        uint32_t end = i + 1;
        bool sorted = true;
        for (; end < index.mainCount && kMainTable[end].group == group; ++end) {
            sorted = sorted && kMainTable[end - 1].element < kMainTable[end].element;
        }
        index.groups.push_back({group, i, end, sorted});
    }
    std::sort(index.groups.begin(), index.groups.end(),
              [](const PyrDicomDictionaryIndex::Group& a, const PyrDicomDictionaryIndex::Group& b) {
                  return a.group < b.group;
              });

    for (const auto& [table, count] : {std::pair{kMainTable, index.mainCount}, std::pair{kCurveTable, index.curveCount},
                                       std::pair{kOverlayTable, index.overlayCount}}) {
        for (uint32_t i = 0; i < count; ++i) {
            if (table[i].vr == 0) {
                PyrDicomDictionaryEntry copy = table[i];
                copy.vr = kPyrVR_UN;
                index.resolved.push_back(copy);
                index.resolvedSources.push_back(&table[i]);
            }
        }
    }
    return kPyrSuccess;
}

}   // namespace

PyrDicomResult PyrDicomDictionary::Lookup(const PyrDicomLocalDictionary* local, uint32_t group, uint32_t element,
                                          const PyrDicomDictionaryEntry** record)
{
    if (record == nullptr) {
        return kPyrSuccess;
    }
    *record = nullptr;
    if (local != nullptr) {
        for (const PyrDicomDictionaryEntry& entry : *local) {
            if (entry.group == group && entry.element == element) {
                *record = &entry;
                return kPyrSuccess;
            }
        }
    }

    const PyrDicomDictionaryIndex& index = Index();
    const auto g = std::lower_bound(index.groups.begin(), index.groups.end(), group,
                                    [](const PyrDicomDictionaryIndex::Group& x, uint32_t v) { return x.group < v; });
    if (g != index.groups.end() && g->group == group) {
        const PyrDicomDictionaryEntry* first = kMainTable + g->first;
        const PyrDicomDictionaryEntry* last = kMainTable + g->end;
        const PyrDicomDictionaryEntry* found = nullptr;
        if (g->sorted) {
            const auto it = std::lower_bound(
                first, last, element, [](const PyrDicomDictionaryEntry& e, uint32_t v) { return e.element < v; });
            found = it != last && it->element == element ? it : nullptr;
        } else {
            const auto it =
                std::find_if(first, last, [element](const PyrDicomDictionaryEntry& e) { return e.element == element; });
            found = it != last ? it : nullptr;
        }
        if (found != nullptr) {
            *record = Resolve(index, found);
            return kPyrSuccess;
        }
    }

    if (group >= kCurveBase && group <= kCurveBase + kRepeatLast) {
        *record = Resolve(index, ScanRepeating(kCurveTable, index.curveCount, element));
    } else if (group >= kOverlayBase && group <= kOverlayBase + kRepeatLast) {
        *record = Resolve(index, ScanRepeating(kOverlayTable, index.overlayCount, element));
    }
    return kPyrSuccess;
}

PyrDicomVR PyrDicomDictionary::GetVR(const PyrDicomLocalDictionary* local, uint32_t group, uint32_t element)
{
    const PyrDicomDictionaryEntry* record = nullptr;
    Lookup(local, group, element, &record);
    return record != nullptr ? record->vr : kPyrVR_UN;
}
