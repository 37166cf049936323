#pragma once

// The frame fixtures of make_frames.sh and the frame memories it expects.

#include <gtest/gtest.h>

#include <QString>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "testsupport/fixtures.h"

// The bytes recorded for (name, frame) in expected.txt.
inline std::vector<uint8_t> ExpectedFrame(const std::string& name, int frame)
{
    std::ifstream in(std::string(STUDY_TEST_DATA_DIR) + "/frames/expected.txt");
    std::string file, type, hex;
    int k = 0;
    while (in >> file >> k >> type >> hex) {
        if (file == name && k == frame) {
            std::vector<uint8_t> bytes;
            for (size_t i = 0; i + 1 < hex.size(); i += 2) {
                bytes.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
            }
            return bytes;
        }
    }
    ADD_FAILURE() << "no expected memory for " << name << " " << frame;
    return {};
}
