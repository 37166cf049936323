#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// One element of a dcmdump listing (tests/data/*.dump.txt, made by make_fixtures.sh).
struct DumpLine {
    int line = 0;
    int depth = 0;
    uint32_t group = 0;
    uint32_t element = 0;
    std::string vr;        // as dcmdump prints it: "??" unknown, "up" offset, "na"/"pi" items
    std::string value;     // what stands between the VR and the comment
    uint32_t length = 0;   // 0xFFFFFFFF for "u/l"
    uint32_t multiplicity = 0;
};

inline std::vector<DumpLine> ParseDump(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<DumpLine> lines;
    std::string text;
    int number = 0;
    while (std::getline(in, text)) {
        ++number;
        const size_t indent = text.find_first_not_of(' ');
        if (indent == std::string::npos || text[indent] != '(') {
            continue;
        }
        DumpLine d;
        d.line = number;
        d.depth = static_cast<int>(indent / 2);
        d.group = static_cast<uint32_t>(std::strtoul(text.substr(indent + 1, 4).c_str(), nullptr, 16));
        d.element = static_cast<uint32_t>(std::strtoul(text.substr(indent + 6, 4).c_str(), nullptr, 16));
        if (d.group == 0xFFFE && (d.element == 0xE00D || d.element == 0xE0DD)) {
            continue;   // delimiters are structure, not elements
        }
        d.vr = text.substr(indent + 12, 2);
        const size_t comment = text.rfind(" #");
        d.value = text.substr(indent + 15, comment - (indent + 15));
        d.value.erase(d.value.find_last_not_of(' ') + 1);
        std::istringstream tail(text.substr(comment + 2));
        std::string length;
        tail >> length >> d.multiplicity;   // "16, 2" or "u/l, 1"
        d.length = length.rfind("u/l", 0) == 0 ? 0xFFFFFFFFu
                                               : static_cast<uint32_t>(std::strtoul(length.c_str(), nullptr, 10));
        lines.push_back(d);
    }
    return lines;
}
