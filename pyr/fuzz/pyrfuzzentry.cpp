#include "pyrfuzzentry.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pyr/pyrdicomdataset.h"
#include "pyrtextnumberoracle.h"

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

// The first value of a whole IS or DS as the C library reads its text: a DS is that reading
// when it takes the whole value but blanks and is finite; an IS the integer that text is
// exactly, within 32 bits. Anything else gives no value.
bool NumberAgreesWithTheCLibrary(const PyrDicomDataElement* element)
{
    const PyrDicomVR vr = element->GetVR();
    if ((vr != PyrVR::IS && vr != PyrVR::DS) || element->HeldCut() || element->GetValue() == nullptr) {
        return true;
    }
    std::string text;
    for (uint32_t i = 0; i < element->GetBytesHeld(); ++i) {
        const char c = char(element->GetValue()[i]);
        if (c == 0 || c == '\\') {
            break;
        }
        text.push_back(c);
    }
    const PyrTextNumberOracle o = PyrJudgeTextNumber(text);
    if (vr == PyrVR::DS) {
        double d = 0;
        const bool read = element->GetDouble(d) == kPyrSuccess;
        return read == (o.decimal && std::isfinite(o.real)) && (!read || d == o.real);
    }
    int32_t s = 0;
    const bool read = element->GetLong(s) == kPyrSuccess;
    return read == (o.decimal && o.fits32) && (!read || s == o.integer);
}

// Reads every value back and checks the element against its children.
void Walk(const PyrDicomDataset& dataset, const PyrDicomDataElement* element, size_t size, PyrFuzzReport& report,
          uint64_t& elements)
{
    PyrString text;
    element->GetStringValue(text, PyrVR::Unset, -1);
    element->GetStringValue(text, PyrVR::Unset, 1);
    uint32_t u = 0;
    int32_t s = 0;
    double d = 0;
    element->GetULong(u, PyrVR::Unset, 1);
    element->GetLong(s, PyrVR::Unset, 0);
    element->GetDouble(d, PyrVR::Unset, 0);
    const uint32_t multiplicity = element->GetMultiplicity();

    auto check = [&report](bool holds) { report.broken += holds ? 0 : 1; };
    // Read in order, the first values are those the getter of each index gives, and as many
    // as counted.
    PyrDicomValueReader reader(*element);
    uint32_t read = 0;
    for (; read < 64 && !reader.AtEnd(); ++read) {
        uint32_t inOrder = 0;
        uint32_t byIndex = 0;
        const PyrDicomResult r = reader.NextULong(inOrder);
        check(r == element->GetULong(byIndex, PyrVR::Unset, int32_t(read)) && (r != kPyrSuccess || inOrder == byIndex));
    }
    check(read == 64 || read == multiplicity);
    check(NumberAgreesWithTheCLibrary(element));
    if (element->GetValueMode() == PyrValueMode::InSource) {
        check(element->GetValuePosition() >= 0 && uint64_t(element->GetValuePosition()) + element->GetLength() <= size);
    }
    const uint32_t count = element->GetChildCount();
    check(element->GetChildAt(count) == nullptr);
    const PyrDicomDataElement* previous = nullptr;
    for (uint32_t i = 0; i < count; ++i) {
        const PyrDicomDataElement* child = element->GetChildAt(i);
        if (child == nullptr) {
            check(false);
            continue;
        }
        ++elements;
        check(child->GetParent() == element && child->GetDataset() == &dataset);
        const PyrDicomDataElement* found = element->FindChild(child->GetGroup(), child->GetElement());
        check(found != nullptr && found->GetGroup() == child->GetGroup() && found->GetElement() == child->GetElement());
        check(previous == nullptr || previous->GetGroup() <= child->GetGroup());
        previous = child;
        Walk(dataset, child, size, report, elements);
    }
}

void ReadOnce(const uint8_t* data, size_t size, const PyrDicomDatasetOptions& options, bool preamble,
              const PyrString& syntax, PyrFuzzReport& report)
{
    Bytes source{data, size, 0};
    PyrDicomDataset dataset(&options);
    const PyrDicomResult result = dataset.ReadFromCallbacks(&Read, &Seek, &source, preamble, syntax);
    report.broken += dataset.GetStreamPosition() <= size ? 0 : 1;
    uint64_t elements = 0;
    if (dataset.GetRoot() != nullptr) {
        Walk(dataset, dataset.GetRoot(), size, report, elements);
    }
    // Each fragment of the Pixel Data inside the source; they count as the items they are.
    PyrFragmentList::Walker walk(dataset.GetPixelFragments());
    for (PyrFragment f; walk.Next(f); ++elements) {
        report.broken += f.valuePosition >= 8 && uint64_t(f.valuePosition) + f.length <= size ? 0 : 1;
    }
    if (report.readings == 0) {
        report.firstResult = result;
        report.firstElements = elements;
    }
    ++report.readings;
    report.succeeded += result == kPyrSuccess ? 1 : 0;
    report.elements += elements;
}

}   // namespace

PyrFuzzReport PyrFuzzReadDataset(const uint8_t* data, size_t size)
{
    PyrFuzzReport report;
    PyrDicomDatasetOptions options;
    ReadOnce(data, size, options, true, PyrString(), report);

    // One more reading, picked by the input so every variant gets its share, with the fragments
    // bounded as the viewer bounds them, low enough for short inputs to meet the bound.
    options.fragmentsPerFrame = 2;
    switch (size % 4) {
    case 0:
        options.unSequenceItemEncoding = 2;   // what the viewer retries with
        ReadOnce(data, size, options, true, PyrString(), report);
        break;
    case 1: {
        options.unSequenceItemEncoding = 0;   // sniffed per sequence
        options.skipPrivateSequences = 1;
        // As a directory reader reads: a few elements of the items, short values alone.
        static constexpr uint32_t kItemTags[] = {0x00041430, 0x00041500, 0x00080005, 0x00100010};
        options.itemTags = kItemTags;
        options.itemTagCount = 4;
        options.keptValueLength = 16;
        ReadOnce(data, size, options, true, PyrString(), report);
        break;
    }
    case 2: ReadOnce(data, size, options, false, PyrString(u"1.2.840.10008.1.2.2"), report); break;
    default: ReadOnce(data, size, options, false, PyrString(u"1.2.840.10008.1.2.1"), report); break;
    }
    return report;
}
