// User-interface texts overridden in ZYLV.INI against QSettings reading the same key, and the
// JIS to Shift-JIS converter against glibc iconv, in one binary.
#include "platform/platfolder.h"
#include "shell/xev_uistring.h"
#include "shell/xev_utility.h"

#include <benchmark/benchmark.h>

#include <QSettings>
#include <QString>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iconv.h>
#include <string>
#include <thread>

namespace {

constexpr uint32_t kOverriddenId = 20250;

// A program folder whose ZYLV.INI holds 300 keys; the looked-up key is among the last.
struct ProgramFolder {
    std::string root;
    std::string ini;

    ProgramFolder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "shellbench.XXXXXX").string();
        root = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
        ini = root + "/ZYLV.INI";
        std::string text = "[Font]\nStringsFaceName=MS UI Gothic\n[Message]\n";
        for (int i = 0; i < 100; ++i) {
            text += "M1" + std::to_string(1000 + i) + "=message number " + std::to_string(i) + "\n";
        }
        text += "[Strings]\n";
        for (int i = 0; i < 198; ++i) {
            text += "S" + std::to_string(20000 + 2 * i) + "=label " + std::to_string(i) + "\n";
        }
        text += "S20399=last\n";
        if (std::FILE* f = std::fopen(ini.c_str(), "wb")) {
            std::fwrite(text.data(), 1, text.size(), f);
            std::fclose(f);
        }
        // A file changed in the last two seconds is read on every call; on a disc it is old.
        std::this_thread::sleep_for(std::chrono::seconds(3));
        PlatSetModuleFolderForTest(root);
    }
    ~ProgramFolder()
    {
        PlatSetModuleFolderForTest("");
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
};

ProgramFolder& Folder()
{
    static ProgramFolder folder;
    return folder;
}

void BM_GetUIString(benchmark::State& state)
{
    Folder();
    for (auto _ : state) {
        QString text = GetUIString(kOverriddenId);
        benchmark::DoNotOptimize(text);
    }
    if (GetUIString(kOverriddenId) != QStringLiteral("label 125")) {
        state.SkipWithError("override not read");
    }
}
BENCHMARK(BM_GetUIString);

void BM_QSettingsIni(benchmark::State& state)
{
    const QString path = QString::fromStdString(Folder().ini);
    for (auto _ : state) {
        QSettings settings(path, QSettings::IniFormat);
        QString text = settings.value(QStringLiteral("Strings/S20250")).toString();
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(BM_QSettingsIni);

// About 1 MB of ISO-2022-JP: lines of kanji between escapes with ASCII between them.
const std::string& JisText()
{
    static const std::string text = [] {
        std::string t;
        int n = 0;
        while (t.size() < (1u << 20)) {
            t += "\x1B$B";
            for (int k = 0; k < 20; ++k, ++n) {
                t.push_back(static_cast<char>(0x30 + (n / 94) % 16));
                t.push_back(static_cast<char>(0x21 + n % 94));
            }
            t += "\x1B(B Series 12 ";
        }
        return t;
    }();
    return text;
}

void BM_ConvertJisToShiftJis(benchmark::State& state)
{
    const std::string& in = JisText();
    std::string out(in.size() * 2 + 1, '\0');
    for (auto _ : state) {
        ConvertJisToShiftJis(in.c_str(), out.data(), out.size());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_ConvertJisToShiftJis);

void BM_IconvJisToShiftJis(benchmark::State& state)
{
    std::string in = JisText();
    std::string out(in.size() * 2 + 1, '\0');
    iconv_t cd = iconv_open("SHIFT_JIS", "ISO-2022-JP");
    for (auto _ : state) {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        char* src = in.data();
        size_t srcLeft = in.size();
        char* dst = out.data();
        size_t dstLeft = out.size();
        if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) == static_cast<size_t>(-1)) {
            state.SkipWithError("iconv failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    iconv_close(cd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_IconvJisToShiftJis);

}   // namespace
