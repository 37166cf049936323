#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pyr/pyrdicomdataset.h"

// Sources that behave like the image library's storages behind the read and seek
// callbacks: a read answers 0 only when it got every byte asked for, a seek moves within
// [0, size] and answers 0 only when it moved the whole distance.
struct PyrTestSource {
    virtual ~PyrTestSource() = default;
    virtual int64_t Size() = 0;
    virtual int64_t Tell() = 0;
    virtual int64_t ReadSome(void* buffer, int64_t count) = 0;
    virtual void MoveTo(int64_t position) = 0;

    uint64_t reads = 0;
    uint64_t seeks = 0;
    uint64_t probes = 0;

    static int32_t Read(void* buffer, uint32_t, uint32_t, uint32_t count, void* user, uint8_t* end)
    {
        auto* self = static_cast<PyrTestSource*>(user);
        if (buffer == nullptr && count == 0) {
            ++self->probes;
            *end = self->Tell() >= self->Size() ? 1 : 0;
            return 0;
        }
        ++self->reads;
        const int64_t got = self->ReadSome(buffer, count);
        *end = self->Tell() >= self->Size() ? 1 : 0;
        return got == static_cast<int64_t>(count) ? 0 : -1;
    }

    static int32_t Seek(uint32_t, uint32_t, int32_t delta, void* user)
    {
        auto* self = static_cast<PyrTestSource*>(user);
        ++self->seeks;
        const int64_t from = self->Tell();
        int64_t to = from + delta;
        to = to < 0 ? 0 : (to > self->Size() ? self->Size() : to);
        self->MoveTo(to);
        return to - from == delta ? 0 : -1;
    }

    PyrDicomResult ReadInto(PyrDicomDataset& dataset, bool preamble = true)
    {
        return dataset.ReadFromCallbacks(&Read, &Seek, this, preamble);
    }
};

class PyrByteSource : public PyrTestSource {
public:
    explicit PyrByteSource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    PyrByteSource(const uint8_t* data, size_t size) : bytes_(data, data + size) {}

    int64_t Size() override { return static_cast<int64_t>(bytes_.size()); }
    int64_t Tell() override { return position_; }
    int64_t ReadSome(void* buffer, int64_t count) override
    {
        const int64_t n = std::min<int64_t>(count, Size() - position_);
        if (n > 0) {
            std::memcpy(buffer, bytes_.data() + position_, static_cast<size_t>(n));
            position_ += n;
        }
        return n < 0 ? 0 : n;
    }
    void MoveTo(int64_t position) override { position_ = position; }
    const std::vector<uint8_t>& Bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    int64_t position_ = 0;
};

// Every element below e, depth first in tree order, with its depth below e.
struct PyrWalked {
    const PyrDicomDataElement* element;
    int depth;
};
inline void PyrFlatten(const PyrDicomDataElement* e, std::vector<PyrWalked>& out, int depth = 0)
{
    for (uint32_t i = 0; i < e->GetChildCount(); ++i) {
        out.push_back({e->GetChildAt(i), depth});
        PyrFlatten(e->GetChildAt(i), out, depth + 1);
    }
}
inline std::vector<PyrWalked> PyrFlatten(const PyrDicomDataElement* e)
{
    std::vector<PyrWalked> out;
    PyrFlatten(e, out);
    return out;
}

inline std::vector<uint8_t> PyrReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
