#pragma once

#include <string>
#include <vector>

#include "pyr/pyrlog.h"

// Keeps what the library writes; the DICOM code's writer while it lives.
class PyrLogRecorder : public PyrNullLogWriter {
public:
    struct Entry {
        int32_t level;
        int32_t code;
        std::u16string message;
    };

    PyrLogRecorder() { PyrSetLogWriter(this); }
    ~PyrLogRecorder() override { PyrSetLogWriter(nullptr); }

    void Write(const char*, int32_t level, int32_t code, const PyrString& message) override
    {
        entries.push_back({level, code, std::u16string(message.View())});
    }
    std::vector<std::u16string> Messages() const
    {
        std::vector<std::u16string> out;
        for (const Entry& e : entries) {
            out.push_back(e.message);
        }
        return out;
    }

    std::vector<Entry> entries;
};
