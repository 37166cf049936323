#include "jisfuzzentry.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "shell/xev_utility.h"

namespace {

std::string Convert(const std::string& source, size_t capacity)
{
    // Exact-size blocks, so the sanitizer sees a read or write past either end.
    std::unique_ptr<char[]> in(new char[source.size() + 1]);
    std::memcpy(in.get(), source.c_str(), source.size() + 1);
    std::unique_ptr<char[]> out(new char[capacity]);
    ConvertJisToShiftJis(in.get(), out.get(), capacity);
    return std::string(out.get(), strnlen(out.get(), capacity));
}

}   // namespace

JisFuzzReport JisFuzzConvert(const uint8_t* data, size_t size)
{
    JisFuzzReport report;
    auto check = [&report](bool holds) { report.broken += holds ? 0 : 1; };

    const std::string source(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
    const size_t largest = 2 * source.size() + 1;
    const std::string full = Convert(source, largest);
    report.outputBytes = static_cast<uint32_t>(full.size());
    check(full.size() < largest);
    for (size_t i = 0; i < full.size(); ++i) {
        check(full[i] != '\n' || (i > 0 && full[i - 1] == '\r'));
    }
    // Larger sources: a few capacities only, to keep each run short.
    const size_t step = source.size() > 256 ? source.size() / 64 : 1;
    for (size_t capacity = 1; capacity < largest; capacity += step) {
        const std::string cut = Convert(source, capacity);
        check(cut.size() < capacity);
        check(full.compare(0, cut.size(), cut) == 0);
        // Only what does not fit is left out: nothing ever written is wider than two bytes.
        check(cut.size() + 1 >= std::min(full.size(), capacity - 1));
    }
    return report;
}
