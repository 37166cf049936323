// Decoding of Japanese person names stored with ISO 2022 code extensions.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "pyr/pyrcharset.h"

namespace {

constexpr size_t kNames = 100000;

// Names in romaji, kanji and kana, half of them with half-width katakana first, the way
// Japanese modalities store them.
std::vector<std::string> MakeNames(const PyrString& charsetIr6, const PyrString& charsetIr13)
{
    static const char16_t* const kFamily[][3] = {
        {u"Yamada", u"山田", u"やまだ"}, {u"Suzuki", u"鈴木", u"すずき"},     {u"Takahashi", u"高橋", u"たかはし"},
        {u"Tanaka", u"田中", u"たなか"}, {u"Watanabe", u"渡辺", u"わたなべ"}, {u"Ito", u"伊藤", u"いとう"},
    };
    static const char16_t* const kGiven[][3] = {
        {u"Tarou", u"太郎", u"たろう"}, {u"Hanako", u"花子", u"はなこ"}, {u"Ichirou", u"一郎", u"いちろう"},
        {u"Yuki", u"由紀", u"ゆき"},    {u"Kenji", u"健二", u"けんじ"},
    };
    static const char16_t* const kKatakana[] = {u"ﾔﾏﾀﾞ^ﾀﾛｳ", u"ｽｽﾞｷ^ﾊﾅｺ", u"ﾀﾅｶ^ｲﾁﾛｳ"};
    std::vector<std::string> names;
    names.reserve(kNames);
    for (size_t i = 0; i < kNames; ++i) {
        const auto& f = kFamily[i % 6];
        const auto& g = kGiven[(i / 6) % 5];
        std::u16string text = (i % 2 == 0) ? std::u16string(f[0]) + u"^" + g[0] : std::u16string(kKatakana[i % 3]);
        text += u"=" + std::u16string(f[1]) + u"^" + g[1] + u"=" + f[2] + u"^" + g[2];
        std::string bytes;
        PyrDicomLib::ConvertUtf16ToDicomCharEncode(bytes, PyrString(text.c_str()),
                                                   i % 2 == 0 ? charsetIr6 : charsetIr13, kPyrVR_PN, false);
        names.push_back(std::move(bytes));
    }
    return names;
}

void BM_DecodeJapaneseIso2022Names(benchmark::State& state)
{
    const PyrString ir6(u"\\ISO 2022 IR 87");
    const PyrString ir13(u"ISO 2022 IR 13\\ISO 2022 IR 87");
    const std::vector<std::string> names = MakeNames(ir6, ir13);
    PyrString text;
    for (auto _ : state) {
        for (size_t i = 0; i < names.size(); ++i) {
            PyrDicomLib::ConvertDicomCharEncodeToUtf16(text, names[i], i % 2 == 0 ? ir6 : ir13, kPyrVR_PN, false);
            benchmark::DoNotOptimize(text.GetString());
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * names.size()));
    state.counters["names"] = static_cast<double>(names.size());
}
BENCHMARK(BM_DecodeJapaneseIso2022Names)->Unit(benchmark::kMillisecond);

}   // namespace
