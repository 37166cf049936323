#include "pyrfuzzentry.h"

#include <cstring>

#include "pyr/pyrdicomdataset.h"

namespace {

struct Bytes {
    const uint8_t* data;
    size_t size;
    size_t position;
};

int32_t Read(void* buffer, uint32_t, uint32_t, uint32_t count, void* user, uint8_t* end)
{
    auto* source = static_cast<Bytes*>(user);
    if (buffer == nullptr && count == 0) {
        *end = source->position >= source->size ? 1 : 0;
        return 0;
    }
    const size_t n = count < source->size - source->position ? count : source->size - source->position;
    if (n != 0) {
        std::memcpy(buffer, source->data + source->position, n);
    }
    source->position += n;
    *end = source->position >= source->size ? 1 : 0;
    return n == count ? 0 : -1;
}

int32_t Seek(uint32_t, uint32_t, int32_t delta, void* user)
{
    auto* source = static_cast<Bytes*>(user);
    const int64_t from = static_cast<int64_t>(source->position);
    int64_t to = from + delta;
    to = to < 0 ? 0 : (to > static_cast<int64_t>(source->size) ? static_cast<int64_t>(source->size) : to);
    source->position = static_cast<size_t>(to);
    return to - from == delta ? 0 : -1;
}

uint64_t Walk(const PyrDicomDataElement* element)
{
    uint64_t sum = 0;
    PyrString text;
    element->GetStringValue(text, PyrVR::Unset, -1);
    sum += text.GetLength();
    element->GetStringValue(text, PyrVR::Unset, 1);
    sum += text.GetLength();
    uint32_t u = 0;
    int32_t s = 0;
    double d = 0;
    element->GetULong(u, PyrVR::Unset, 1);
    element->GetLong(s, PyrVR::Unset, 0);
    element->GetDouble(d, PyrVR::Unset, 0);
    sum += u + static_cast<uint32_t>(s) + element->GetMultiplicity();
    for (uint32_t i = 0, n = element->GetChildCount(); i < n; ++i) {
        sum += Walk(element->GetChildAt(i));
    }
    return sum;
}

void ReadOnce(const uint8_t* data, size_t size, const PyrDicomDatasetOptions& options, bool preamble,
              const PyrString& syntax)
{
    Bytes source{data, size, 0};
    PyrDicomDataset dataset(&options);
    dataset.ReadFromCallbacks(&Read, &Seek, &source, preamble, syntax);
    volatile uint64_t sink = Walk(dataset.GetRoot());
    (void)sink;
}

}  // namespace

int PyrFuzzReadDataset(const uint8_t* data, size_t size)
{
    PyrDicomDatasetOptions options;
    ReadOnce(data, size, options, true, PyrString());

    // One more reading, picked by the input so every variant gets its share.
    switch (size % 4) {
    case 0:
        options.unSequenceItemEncoding = 2;   // what the viewer retries with
        ReadOnce(data, size, options, true, PyrString());
        break;
    case 1:
        options.unSequenceItemEncoding = 0;   // sniffed per sequence
        options.skipPrivateSequences = 1;
        ReadOnce(data, size, options, true, PyrString());
        break;
    case 2:
        ReadOnce(data, size, options, false, PyrString(u"1.2.840.10008.1.2.2"));
        break;
    default:
        ReadOnce(data, size, options, false, PyrString(u"1.2.840.10008.1.2.1"));
        break;
    }
    return 0;
}
