// Data-dictionary lookups, as an implicit-VR reader makes one per element.
#include <benchmark/benchmark.h>

#include <vector>

#include "pyr/pyrdicomdictionary.h"

namespace {

void BM_DictionaryLookup(benchmark::State& state)
{
    // Every tag of the main table plus private, overlay and unknown tags, in a mixed order.
    std::vector<std::pair<uint32_t, uint32_t>> tags;
    const PyrDicomDictionaryEntry* table = PyrDicomDictionary::MainTable();
    for (uint32_t i = 0; table[i].name != nullptr; ++i) {
        tags.emplace_back(table[i].group, table[i].element);
    }
    for (uint32_t i = 0; i < 256; ++i) {
        tags.emplace_back(0x0009 + 2 * (i % 8), 0x1000 + i);
        tags.emplace_back(0x6000 + 2 * (i % 16), 0x3000);
    }
    for (size_t i = 0; i < tags.size(); ++i) {
        std::swap(tags[i], tags[(i * 7919) % tags.size()]);
    }
    for (auto _ : state) {
        for (const auto& [group, element] : tags) {
            benchmark::DoNotOptimize(PyrDicomDictionary::GetVR(nullptr, group, element));
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * tags.size()));
}
BENCHMARK(BM_DictionaryLookup);

}   // namespace
