#include "pyr/pyrdicomdataelement.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "pyr/pyrcharset.h"
#include "pyr/pyrdecimal.h"
#include "pyr/pyrdicomdataset.h"
#include "pyr/pyrlog.h"
#include "pyrnothrow.h"

namespace PyrVR {

bool IsPlainText(PyrDicomVR vr)
{
    switch (vr) {
    case AE:
    case AS:
    case CS:
    case DA:
    case DS:
    case DT:
    case IS:
    case TM:
    case UI: return true;
    default: return false;
    }
}

bool IsCharsetText(PyrDicomVR vr)
{
    switch (vr) {
    case LO:
    case LT:
    case PN:
    case SH:
    case ST:
    case UT: return true;
    default: return false;
    }
}

bool IsOpaque(PyrDicomVR vr)
{
    return vr == OB || vr == OF || vr == OW || vr == SQ || vr == UN;
}

uint32_t NumericSize(PyrDicomVR vr)
{
    switch (vr) {
    case SS:
    case US: return 2;
    case AT:
    case FL:
    case SL:
    case UL: return 4;
    case FD: return 8;
    default: return 0;
    }
}

}   // namespace PyrVR

namespace {

// Values up to this size of elements in a dataset's arena are taken from the arena.
constexpr uint32_t kArenaValueSize = 4096;

constexpr uint32_t kCharsetGroup = 0x0008;
constexpr uint32_t kCharsetElement = 0x0005;
constexpr char16_t kBackslash[] = u"\\";

// Longest value, in UTF-16 units, that each text VR takes. DA and TM allow ranges.
uint64_t TextLimit(PyrDicomVR vr)
{
    switch (vr) {
    case PyrVR::AE: return 16;
    case PyrVR::AS: return 4;
    case PyrVR::CS: return 16;
    case PyrVR::DA: return 21;
    case PyrVR::DS: return 16;
    case PyrVR::DT: return 26;
    case PyrVR::IS: return 12;
    case PyrVR::LO: return 64;
    case PyrVR::LT: return 10240;
    case PyrVR::PN: return 320;
    case PyrVR::SH: return 16;
    case PyrVR::ST: return 1024;
    case PyrVR::TM: return 33;
    case PyrVR::UI: return 64;
    case PyrVR::UT: return 4294967293u;
    default: return 0;
    }
}

// Only the first values of Specific Character Set can name the character sets a value is
// written in; each is at most 16 bytes, and one backslash more.
constexpr uint32_t kCharsetTerms = 8;
constexpr uint32_t kCharsetBytes = kCharsetTerms * 17;

bool IsPadding(uint8_t b)
{
    return b == ' ' || b == 0;
}

// The value written as text (IS, or DS) that starts at p, read whole however long, up to end,
// a backslash or a zero byte: blanks aside it must be one number of its VR (an IS an integer)
// that fits A. False for anything else, and for a value running on to the end of a value held
// cut short, whose rest is unknown. Read as a double, an IS is any integer, however large.
template <class A>
bool ParseTextNumber(const uint8_t* p, const uint8_t* end, PyrDicomVR vr, bool cut, A& value)
{
    const char* first = reinterpret_cast<const char*>(p);
    const char* last = reinterpret_cast<const char*>(end);
    const char* stop = nullptr;
    A v{};
    bool read = false;
    if (std::is_same_v<A, double> && vr == PyrVR::DS) {
        double real = 0;
        read = PyrReadWholeReal(first, last, real, &stop);
        v = static_cast<A>(real);
    } else {
        int64_t integer = 0;
        read = PyrReadWholeInteger(first, last, integer, &stop);
        if constexpr (std::is_same_v<A, double>) {
            // An integer past int64_t as a real: both readers take the same characters.
            bool integral = false;
            double real = 0;
            if (!read && stop != nullptr && !PyrReadInteger(first, last, integer, nullptr, &integral) && integral &&
                PyrReadWholeReal(first, last, real, &stop)) {
                v = real;
                read = true;
            } else {
                v = static_cast<A>(integer);
            }
        } else {
            read = read && integer >= int64_t(std::numeric_limits<A>::min()) &&
                   integer <= int64_t(std::numeric_limits<A>::max());
            v = static_cast<A>(integer);
        }
    }
    if (!read || (cut && stop == last)) {
        return false;
    }
    value = v;
    return true;
}

// Value `index` of a backslash-separated text; false when there are fewer values.
bool SelectValue(std::u16string_view text, int32_t index, std::u16string_view& out)
{
    size_t start = 0;
    for (int32_t i = 0; i < index; ++i) {
        const size_t slash = text.find(u'\\', start);
        if (slash == std::u16string_view::npos) {
            return false;
        }
        start = slash + 1;
    }
    const size_t end = text.find(u'\\', start);
    out = text.substr(start, end == std::u16string_view::npos ? std::u16string_view::npos : end - start);
    return true;
}

bool IsHexDigit(char16_t c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

uint32_t HexValue(char16_t c)
{
    return c <= u'9' ? uint32_t(c - u'0') : (c | 0x20) - u'a' + 10;
}

// Up to four hexadecimal digits after optional blanks, as "%04x" scans them.
bool ScanHexWord(const char16_t*& p, uint32_t& value)
{
    while (*p == u' ' || (*p >= u'\t' && *p <= u'\r')) {
        ++p;
    }
    value = 0;
    int digits = 0;
    while (digits < 4 && IsHexDigit(*p)) {
        value = value * 16 + HexValue(*p);
        ++p;
        ++digits;
    }
    return digits > 0;
}

// The text VRs that SetULong and SetLong write a number into, in decimal.
bool TakesNumberText(PyrDicomVR vr)
{
    switch (vr) {
    case PyrVR::SH:
    case PyrVR::LO:
    case PyrVR::CS:
    case PyrVR::DS:
    case PyrVR::IS:
    case PyrVR::LT:
    case PyrVR::ST:
    case PyrVR::UT: return true;
    default: return false;
    }
}

// `out` becomes exactly these units (up to a zero unit, where text ends); false when memory ran out.
bool MakeString(PyrString& out, std::u16string_view units)
{
    units = units.substr(0, units.find(u'\0'));
    if (units.empty()) {
        out.Release();
        return true;
    }
    if (units.size() > INT32_MAX) {
        return false;
    }
    PyrString made(units.data(), static_cast<int32_t>(units.size()));
    if (made.GetLength() != units.size()) {
        return false;
    }
    out = std::move(made);
    return true;
}

// The backslash-separated values of a text, each checked to be whole.
PyrDicomResult SplitValues(std::u16string_view text, std::vector<PyrString>& values)
{
    values.clear();
    if (text.empty()) {
        return kPyrSuccess;
    }
    for (size_t start = 0;;) {
        const size_t slash = text.find(u'\\', start);
        const std::u16string_view piece =
            text.substr(start, slash == std::u16string_view::npos ? std::u16string_view::npos : slash - start);
        values.emplace_back();
        if (!MakeString(values.back(), piece)) {
            return kPyrOutOfMemory;
        }
        if (slash == std::u16string_view::npos) {
            return kPyrSuccess;
        }
        start = slash + 1;
    }
}

}   // namespace

void* pyr_dicom_lib_element_relocation_esink::Relocated()
{
    PyrDicomDataElement* e = element_;
    PyrDicomDataElement::ExternalValue* external = e->external_;
    if (external == nullptr) {
        return nullptr;
    }
    external->allocator->Resolve(&external->handle);
    e->value_ = static_cast<uint8_t*>(external->handle);
    return external->handle;
}

PyrDicomDataElement::PyrDicomDataElement(PyrDicomDataset* dataset, std::pmr::memory_resource* resource)
    : dataset_(dataset), value_(inline_), resource_(resource)
{
}

const PyrDicomDataElement::GroupMap& PyrDicomDataElement::Groups() const
{
    static const GroupMap& none = *new GroupMap;
    return children_ != nullptr ? *children_ : none;
}

void PyrDicomDataElement::operator delete(PyrDicomDataElement* element, std::destroying_delete_t)
{
    const bool inArena = element->inArena_;
    PyrDicomDataset* dataset = element->dataset_;
    element->~PyrDicomDataElement();
    if (!inArena) {
        ::operator delete(element);
    } else if (dataset != nullptr && !dataset->IsDestroying()) {
        dataset->RecycleElement(element);
    }
}

void PyrDicomDataElement::ReleaseOutsideArena()
{
    if (mode_ != PyrValueMode::Heap || !valueInArena_) {
        ReleaseValue();
    }
    sourcePath_.Release();
}

PyrDicomDataElement::~PyrDicomDataElement()
{
    static const char* const kFunction = __PRETTY_FUNCTION__;
    if (dataset_ != nullptr && dataset_->GetRoot() == this && !dataset_->IsDestroying()) {
        PyrWriteLog(kFunction, kPyrLogError, kPyrBadFirstFragment, u"The root data element has been deleted.");
        dataset_->RootDeleted(this);
    }
    Detach();
    if (dataset_ != nullptr) {
        dataset_->Unregister(this);
    }
    Clear();
    if (children_ != nullptr) {
        children_->~GroupMap();
        resource_->deallocate(children_, sizeof(GroupMap), alignof(GroupMap));
        children_ = nullptr;
    }
}

PyrDicomResult PyrDicomDataElement::SetGroup(uint32_t group)
{
    PyrDicomDataElement* parent = parent_;
    Detach();
    group_ = group;
    if (parent != nullptr) {
        return parent->SetChildElement(this);
    }
    return kPyrSuccess;
}

PyrDicomDataElement* PyrDicomDataElement::GetChildAt(uint32_t index) const
{
    for (const auto& [group, children] : Groups()) {
        if (index < children.items.size()) {
            return children.items[index];
        }
        index -= static_cast<uint32_t>(children.items.size());
    }
    return nullptr;
}

// In a group sorted by element number: where the first child with this number or a larger one stands.
size_t PyrDicomDataElement::FirstNotBelow(const ChildList& items, uint32_t number)
{
    size_t low = 0;
    size_t high = items.size();
    while (low < high) {
        const size_t mid = low + (high - low) / 2;
        if (items[mid]->element_ < number) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    return low;
}

PyrDicomDataElement* PyrDicomDataElement::FindChild(uint32_t group, uint32_t element) const
{
    const GroupMap& groups = Groups();
    const auto it = groups.find(group);
    if (it == groups.end()) {
        return nullptr;
    }
    const ChildList& items = it->second.items;
    if (!it->second.ordered) {
        for (PyrDicomDataElement* child : items) {
            if (child->element_ == element) {
                return child;
            }
        }
        return nullptr;
    }
    const size_t at = FirstNotBelow(items, element);
    return at < items.size() && items[at]->element_ == element ? items[at] : nullptr;
}

PyrDicomResult PyrDicomDataElement::CheckNewChild(PyrDicomDataElement* child, const char* function) const
{
    if (child == nullptr) {
        return kPyrBadArgument;
    }
    if (child->dataset_ != dataset_) {
        PyrWriteLog(function, kPyrLogError, kPyrBadArgument, u"The passed element is in the different dataset.");
        return kPyrBadArgument;
    }
    // The element itself, one of its ancestors or the root would make the tree a cycle.
    bool cycle = child == this || (dataset_ != nullptr && child == dataset_->GetRoot());
    for (const PyrDicomDataElement* e = parent_; e != nullptr && !cycle; e = e->parent_) {
        cycle = e == child;
    }
    if (cycle) {
        PyrWriteLog(function, kPyrLogError, kPyrBadArgument, u"Can't append the same element.");
        return kPyrBadArgument;
    }
    return kPyrSuccess;
}

// Makes sure the group exists and can take one more child without allocating, so
// that nothing is moved until nothing can fail any more.
PyrDicomDataElement::GroupChildren* PyrDicomDataElement::MakeRoomFor(uint32_t group)
{
    if (children_ == nullptr) {
        // Throws like the lists below when the resource has no room.
        children_ = new (resource_->allocate(sizeof(GroupMap), alignof(GroupMap))) GroupMap(resource_);
    }
    const auto [it, created] = children_->try_emplace(group);
    ChildList& items = it->second.items;
    try {
        if (items.size() == items.capacity()) {
            items.reserve(items.empty() ? 4 : items.size() * 2);
        }
    } catch (...) {
        if (created) {
            children_->erase(it);
        }
        throw;
    }
    return &it->second;
}

PyrDicomResult PyrDicomDataElement::MakeRoomInGroup(uint32_t group)
{
    if (children_ == nullptr || children_->find(group) == children_->end()) {
        return kPyrSuccess;
    }
    return PyrNoThrow([&] {
        MakeRoomFor(group);
        return kPyrSuccess;
    });
}

PyrDicomResult PyrDicomDataElement::SetChildElement(PyrDicomDataElement* child)
{
    static const char* const kFunction = __PRETTY_FUNCTION__;
    if (const PyrDicomResult r = CheckNewChild(child, kFunction); r != kPyrSuccess) {
        return r;
    }
    return PyrNoThrow([&] {
        GroupChildren* group = MakeRoomFor(child->group_);
        child->Detach(group);
        ChildList& items = group->items;
        const uint32_t number = child->element_;

        size_t at = items.size();
        if (group->ordered && !items.empty() && items.back()->element_ < number) {
            // Streams come in ascending order: append without searching.
        } else if (group->ordered) {
            at = FirstNotBelow(items, number);
        } else {
            // Out of order after AddChildElement: the tag may stand anywhere, and is replaced there.
            const auto same = std::find_if(items.begin(), items.end(),
                                           [number](const PyrDicomDataElement* e) { return e->element_ == number; });
            const auto larger = std::find_if(items.begin(), items.end(),
                                             [number](const PyrDicomDataElement* e) { return e->element_ > number; });
            at = static_cast<size_t>((same != items.end() ? same : larger) - items.begin());
        }

        child->parent_ = this;
        if (at < items.size() && items[at]->element_ == number) {
            PyrDicomDataElement* old = items[at];
            items[at] = child;
            old->parent_ = nullptr;
            delete old;
        } else {
            items.insert(items.begin() + static_cast<std::ptrdiff_t>(at), child);   // within the room made
            ++childCount_;
        }
        return kPyrSuccess;
    });
}

PyrDicomResult PyrDicomDataElement::AddChildElement(PyrDicomDataElement* child)
{
    static const char* const kFunction = __PRETTY_FUNCTION__;
    if (const PyrDicomResult r = CheckNewChild(child, kFunction); r != kPyrSuccess) {
        return r;
    }
    return PyrNoThrow([&] {
        GroupChildren* group = MakeRoomFor(child->group_);
        child->Detach(group);
        if (!group->items.empty() && group->items.back()->element_ > child->element_) {
            group->ordered = false;
        }
        group->items.push_back(child);
        child->parent_ = this;
        ++childCount_;
        return kPyrSuccess;
    });
}

void PyrDicomDataElement::Detach(const GroupChildren* keep)
{
    PyrDicomDataElement* parent = parent_;
    if (parent == nullptr) {
        return;
    }
    parent_ = nullptr;
    if (parent->children_ == nullptr) {
        return;
    }
    const auto it = parent->children_->find(group_);
    if (it == parent->children_->end()) {
        return;
    }
    ChildList& items = it->second.items;
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i] == this) {
            items.erase(items.begin() + static_cast<std::ptrdiff_t>(i));
            --parent->childCount_;
            break;
        }
    }
    if (items.empty() && &it->second != keep) {
        parent->children_->erase(it);
    }
}

PyrDicomResult PyrDicomDataElement::SetChildString(uint32_t group, uint32_t element, const PyrString& text,
                                                   PyrDicomVR vr, int32_t index)
{
    if (PyrDicomDataElement* child = FindChild(group, element)) {
        return child->SetString(text, vr, index);
    }
    if (dataset_ == nullptr) {
        return kPyrBadArgument;
    }
    PyrDicomDataElement* child = dataset_->CreateElement();
    if (child == nullptr) {
        return kPyrOutOfMemory;
    }
    child->group_ = group;
    child->element_ = element;
    child->vr_ = vr;
    if (const PyrDicomResult r = SetChildElement(child); r != kPyrSuccess) {
        delete child;
        return r;
    }
    // A value that could not be set leaves no empty element behind.
    const PyrDicomResult r = child->SetString(text, vr, index);
    if (!PyrSucceeded(r)) {
        delete child;
    }
    return r;
}

// ---- value storage -------------------------------------------------------------------

void PyrDicomDataElement::ReleaseValue()
{
    switch (mode_) {
    case PyrValueMode::Heap:
        if (!valueInArena_) {
            std::free(value_);
        }
        break;
    case PyrValueMode::External:
        if (external_ != nullptr) {
            external_->allocator->Free(external_->handle);
        }
        break;
    case PyrValueMode::Mapped:
    case PyrValueMode::InSource:
    case PyrValueMode::Inline:
        // Nothing of ours is held: the library never maps or loads such values.
        break;
    }
    mode_ = PyrValueMode::Inline;
    value_ = inline_;
    valueInArena_ = false;
    std::memset(inline_, 0, sizeof(inline_));
    delete external_;
    external_ = nullptr;
}

void PyrDicomDataElement::DestroyChildren()
{
    if (children_ == nullptr) {
        return;
    }
    GroupMap children(children_->get_allocator());
    children.swap(*children_);
    childCount_ = 0;
    for (auto& [group, list] : children) {
        for (PyrDicomDataElement* child : list.items) {
            child->parent_ = nullptr;
            delete child;
        }
    }
}

PyrDicomResult PyrDicomDataElement::Clear()
{
    // A mapped value never deletes its file here: nothing in the library creates one.
    ReleaseValue();
    length_ = 0;
    bytesHeld_ = 0;
    valuePosition_ = 0;
    sourcePath_.Release();
    DestroyChildren();
    return kPyrSuccess;
}

PyrDicomResult PyrDicomDataElement::Reset()
{
    const PyrDicomResult r = Clear();
    group_ = 0;
    element_ = 0;
    vr_ = PyrVR::Unset;
    position_ = -1;
    return r;
}

PyrDicomResult PyrDicomDataElement::Unmap()
{
    static const char* const kFunction = __PRETTY_FUNCTION__;
    if (mode_ == PyrValueMode::InSource || mode_ == PyrValueMode::Mapped) {
        return kPyrSuccess;   // no block was loaded and no view was made
    }
    PyrWriteLog(kFunction, kPyrLogError, kPyrBadArgument, u"The data element is not in a mapping mode.");
    return kPyrBadArgument;
}

PyrDicomResult PyrDicomDataElement::AllocateValue(uint32_t length, bool pad)
{
    const bool keepOdd = dataset_ != nullptr && dataset_->GetKeepOddLengths();
    if (pad && (length & 1u) != 0 && !keepOdd) {
        if (length == UINT32_MAX) {
            return kPyrBadArgument;
        }
        ++length;
    }
    Clear();
    if (length <= sizeof(inline_)) {
        mode_ = PyrValueMode::Inline;
        value_ = inline_;
    } else {
        PyrIValueAllocator* allocator = dataset_ != nullptr ? dataset_->GetOptions().valueAllocator : nullptr;
        const uint32_t threshold = dataset_ != nullptr ? dataset_->GetOptions().allocatorThreshold : 0;
        if (allocator != nullptr && threshold != 0 && length > threshold) {
            auto* external =
                new (std::nothrow) ExternalValue{nullptr, allocator, pyr_dicom_lib_element_relocation_esink(this)};
            if (external == nullptr) {
                return kPyrOutOfMemory;
            }
            void* handle = nullptr;
            if (!allocator->Allocate(&handle, &external->sink, length) || handle == nullptr) {
                delete external;
                return kPyrOutOfMemory;
            }
            mode_ = PyrValueMode::External;
            external->handle = handle;
            external_ = external;
            value_ = static_cast<uint8_t*>(handle);
            std::memset(value_, 0, length);
        } else {
            // Small values of an element in the arena come from it too: a directory holds
            // tens of thousands, and freeing them one by one costs more than reading them.
            const bool arena = inArena_ && dataset_ != nullptr && length <= kArenaValueSize;
            void* block = arena ? dataset_->ArenaAllocate(length, 8) : std::calloc(length, 1);
            if (block == nullptr) {
                return kPyrOutOfMemory;
            }
            if (arena) {
                std::memset(block, 0, length);
            }
            mode_ = PyrValueMode::Heap;
            valueInArena_ = arena;
            value_ = static_cast<uint8_t*>(block);
        }
    }
    length_ = length;
    bytesHeld_ = length;
    return kPyrSuccess;
}

PyrDicomResult PyrDicomDataElement::SetValueLocation(const PyrString& path, int64_t position, uint32_t length)
{
    Clear();
    sourcePath_ = path;
    valuePosition_ = position;
    length_ = length;
    mode_ = PyrValueMode::InSource;
    value_ = nullptr;
    return kPyrSuccess;
}

// ---- getters -------------------------------------------------------------------------

PyrDicomVR PyrDicomDataElement::ResolveVR(PyrDicomVR vr) const
{
    if (vr != PyrVR::Unset) {
        return vr;
    }
    if (vr_ != PyrVR::Unset && vr_ != PyrVR::UN) {
        return vr_;
    }
    const PyrDicomLocalDictionary* local = dataset_ != nullptr ? &dataset_->GetLocalDictionary() : nullptr;
    return PyrDicomDictionary::GetVR(local, group_, element_);
}

PyrDicomVR PyrDicomDataElement::StoreVR(PyrDicomVR vr)
{
    if (vr != PyrVR::Unset) {
        vr_ = vr;
    } else if (vr_ == PyrVR::Unset) {
        const PyrDicomLocalDictionary* local = dataset_ != nullptr ? &dataset_->GetLocalDictionary() : nullptr;
        vr_ = PyrDicomDictionary::GetVR(local, group_, element_);
    }
    return ResolveVR(PyrVR::Unset);
}

bool PyrDicomDataElement::ReadItem(void* out, uint32_t size, int32_t index) const
{
    const uint64_t i = index < 0 ? 0 : static_cast<uint64_t>(index);
    if (value_ == nullptr || (i + 1) * size > bytesHeld_) {
        return false;
    }
    std::memcpy(out, value_ + i * size, size);
    return true;
}

namespace {

// A binary number of the VR's own type (floats only when asked), converted to A; kPyrNoValue
// for any other VR or a missing item.
template <class A, class Read>
PyrDicomResult ReadBinaryAs(A& value, PyrDicomVR vr, int32_t index, bool floats, Read read)
{
    auto take = [&](auto native) {
        if (!read(&native, static_cast<uint32_t>(sizeof native), index)) {
            return kPyrNoValue;
        }
        value = static_cast<A>(native);
        return kPyrSuccess;
    };
    switch (vr) {
    case PyrVR::SL: return take(int32_t{});
    case PyrVR::UL: return take(uint32_t{});
    case PyrVR::SS: return take(int16_t{});
    case PyrVR::US: return take(uint16_t{});
    case PyrVR::FL: return floats ? take(float{}) : kPyrNoValue;
    case PyrVR::FD: return floats ? take(double{}) : kPyrNoValue;
    default: return kPyrNoValue;
    }
}

}   // namespace

template <class A>
PyrDicomResult PyrDicomDataElement::GetNumber(A& value, PyrDicomVR vr, int32_t index, bool floats) const
{
    if (bytesHeld_ == 0) {
        return kPyrNoValue;
    }
    index = index < 0 ? 0 : index;
    const PyrDicomVR resolved = ResolveVR(vr);
    if (resolved == PyrVR::IS || (floats && resolved == PyrVR::DS)) {
        // Found among the bytes and read from its own first bytes: a value of any length
        // costs no copy of it.
        if (value_ == nullptr) {
            return kPyrNoValue;
        }
        const uint8_t* p = value_;
        const uint8_t* end = value_ + bytesHeld_;
        for (int32_t i = 0; i < index; ++i) {
            const void* slash = std::memchr(p, '\\', size_t(end - p));
            if (slash == nullptr) {
                return kPyrNoValue;
            }
            p = static_cast<const uint8_t*>(slash) + 1;
        }
        return ParseTextNumber(p, end, resolved, HeldCut(), value) ? kPyrSuccess : kPyrNoValue;
    }
    if (resolved == PyrVR::AT && std::is_same_v<A, uint32_t>) {
        uint16_t words[2];
        if (!ReadItem(words, 4, index)) {
            return kPyrNoValue;
        }
        value = static_cast<A>((uint32_t(words[0]) << 16) | words[1]);
        return kPyrSuccess;
    }
    return ReadBinaryAs(value, resolved, index, floats,
                        [this](void* out, uint32_t size, int32_t i) { return ReadItem(out, size, i); });
}

PyrDicomResult PyrDicomDataElement::GetULong(uint32_t& value, PyrDicomVR vr, int32_t index) const
{
    return GetNumber(value, vr, index, false);
}

PyrDicomResult PyrDicomDataElement::GetLong(int32_t& value, PyrDicomVR vr, int32_t index) const
{
    return GetNumber(value, vr, index, false);
}

PyrDicomResult PyrDicomDataElement::GetDouble(double& value, PyrDicomVR vr, int32_t index) const
{
    return GetNumber(value, vr, index, true);
}

PyrDicomResult PyrDicomDataElement::GetPlainText(PyrString& value, PyrDicomVR vr, int32_t index, uint32_t limit) const
{
    const uint8_t* bytes = value_;
    size_t begin = 0;
    size_t end = std::min<size_t>(bytesHeld_, limit);
    while (end > begin && (bytes[end - 1] == ' ' || bytes[end - 1] == 0)) {
        --end;
    }
    if (vr != PyrVR::TM) {
        while (begin < end && bytes[begin] == ' ') {
            ++begin;
        }
    }
    // These VRs are one byte a character: one value of many is found among the bytes, so that
    // only its own characters are widened however long the rest is.
    if (index >= 0) {
        for (int32_t i = 0; i < index; ++i) {
            const void* slash = std::memchr(bytes + begin, '\\', end - begin);
            if (slash == nullptr) {
                value.Release();
                return kPyrNoValue;
            }
            begin = size_t(static_cast<const uint8_t*>(slash) - bytes) + 1;
        }
        if (const void* slash = std::memchr(bytes + begin, '\\', end - begin)) {
            end = size_t(static_cast<const uint8_t*>(slash) - bytes);
        }
    }
    std::u16string text(end - begin, u'\0');
    for (size_t i = begin; i < end; ++i) {
        text[i - begin] = bytes[i];
    }
    return MakeString(value, text) ? kPyrSuccess : kPyrOutOfMemory;
}

PyrDicomResult PyrDicomDataElement::FindSpecificCharacterSet(PyrString& text, bool fromRootWhenDetached) const
{
    text.Release();
    const PyrDicomDataElement* start = parent_;
    if (start == nullptr && fromRootWhenDetached && dataset_ != nullptr && dataset_->GetRoot() != this) {
        start = dataset_->GetRoot();
    }
    for (const PyrDicomDataElement* e = start; e != nullptr; e = e->parent_) {
        if (const PyrDicomDataElement* charset = e->FindChild(kCharsetGroup, kCharsetElement)) {
            // A value that names its sets is at most kCharsetBytes long: of a longer one only the
            // whole values among its first bytes are read.
            const uint8_t* bytes = charset->value_;
            uint32_t limit = UINT32_MAX;
            if (bytes != nullptr && charset->bytesHeld_ > kCharsetBytes) {
                limit = kCharsetBytes;
                while (bytes[limit] != '\\' && limit > 0) {
                    --limit;
                }
            }
            // Without memory the text would read in the default repertoire: fail instead.
            return charset->GetStringValue(text, PyrVR::CS, -1, limit) == kPyrOutOfMemory ? kPyrOutOfMemory
                                                                                          : kPyrSuccess;
        }
    }
    return kPyrSuccess;
}

PyrDicomResult PyrDicomDataElement::GetCharsetText(PyrString& value, PyrDicomVR vr, int32_t index, uint32_t limit) const
{
    PyrString charset;
    if (const PyrDicomResult r = FindSpecificCharacterSet(charset, false); r != kPyrSuccess) {
        return r;
    }
    const bool os = dataset_ != nullptr && dataset_->GetOptions().osTextConversion != 0;
    PyrString converted;
    // A value read only in part (bytesHeld_ < length_) is cut as a limit would cut it.
    const bool cut = limit < bytesHeld_ || bytesHeld_ < length_;
    std::string_view bytes(reinterpret_cast<const char*>(value_), std::min<size_t>(limit, bytesHeld_));
    PyrDicomResult converting = PyrDicomLib::ConvertDicomCharEncodeToUtf16(converted, bytes, charset, vr, os);
    // A cut may end inside a character of several bytes: without its last bytes it converts.
    for (int drop = 1; cut && !PyrSucceeded(converting) && drop <= 3 && bytes.size() > 1; ++drop) {
        bytes.remove_suffix(1);
        converting = PyrDicomLib::ConvertDicomCharEncodeToUtf16(converted, bytes, charset, vr, os);
    }
    if (!PyrSucceeded(converting)) {
        return converting;
    }
    std::u16string_view text = converted.View();
    if (cut) {
        while (!text.empty() && text.back() == u'\uFFFD') {
            text.remove_suffix(1);
        }
    }
    // The converter stops at a zero byte; padding with zeros is cut like spaces.
    while (!text.empty() && (text.back() == u' ' || text.back() == u'\0')) {
        text.remove_suffix(1);
    }
    if (vr == PyrVR::LO || vr == PyrVR::SH || vr == PyrVR::UT) {
        while (!text.empty() && text.front() == u' ') {
            text.remove_prefix(1);
        }
    }
    const bool whole = vr == PyrVR::LT || vr == PyrVR::ST || vr == PyrVR::UT || index < 0;
    std::u16string_view selected = text;
    if (!whole && !SelectValue(text, index, selected)) {
        value.Release();
        return kPyrNoValue;
    }
    return MakeString(value, selected) ? converting : kPyrOutOfMemory;
}

PyrDicomResult PyrDicomDataElement::GetNumericText(PyrString& value, PyrDicomVR vr, int32_t index, uint32_t limit) const
{
    auto one = [&](int32_t i, PyrString& out) -> PyrDicomResult {
        switch (vr) {
        case PyrVR::SL:
        case PyrVR::SS:
        case PyrVR::US: {
            uint32_t v = 0;
            if (GetULong(v, vr, i) != kPyrSuccess) {
                return kPyrNoValue;
            }
            out = PyrStringFromLong(static_cast<int32_t>(v), 10);
            return out.IsEmpty() ? kPyrOutOfMemory : kPyrSuccess;   // a number is never empty text
        }
        case PyrVR::UL: {
            uint32_t v = 0;
            if (GetULong(v, vr, i) != kPyrSuccess) {
                return kPyrNoValue;
            }
            out = PyrStringFromULong(v, 10);
            return out.IsEmpty() ? kPyrOutOfMemory : kPyrSuccess;   // a number is never empty text
        }
        case PyrVR::FL:
        case PyrVR::FD: {
            double v = 0;
            if (GetDouble(v, vr, i) != kPyrSuccess) {
                return kPyrNoValue;
            }
            out = PyrStringFormat(u"%f", v);
            return out.IsEmpty() ? kPyrOutOfMemory : kPyrSuccess;   // a number is never empty text
        }
        case PyrVR::AT: {
            uint16_t words[2];
            if (!ReadItem(words, 4, i)) {
                return kPyrNoValue;
            }
            out = PyrStringFormat(u"%04x%04x", uint32_t(words[0]), uint32_t(words[1]));
            return out.IsEmpty() ? kPyrOutOfMemory : kPyrSuccess;   // a number is never empty text
        }
        default: return kPyrNoValue;
        }
    };
    if (index >= 0) {
        return one(index, value);
    }
    // Appended in place: a long array must not cost a string object per number.
    const uint32_t count = GetMultiplicity(vr);
    std::u16string joined;
    PyrString piece;
    for (uint32_t i = 0; i < count && joined.size() < limit; ++i) {
        if (const PyrDicomResult r = one(static_cast<int32_t>(i), piece); r != kPyrSuccess) {
            return r;
        }
        if (i != 0) {
            joined.push_back(u'\\');
        }
        joined.append(piece.View());
    }
    return MakeString(value, joined) ? kPyrSuccess : kPyrOutOfMemory;
}

PyrDicomResult PyrDicomDataElement::GetStringValue(PyrString& value, PyrDicomVR vr, int32_t index, uint32_t limit) const
{
    return PyrNoThrow([&] { return GetStringValueOf(value, vr, index, limit); });
}

PyrDicomResult PyrDicomDataElement::GetStringValueOf(PyrString& value, PyrDicomVR vr, int32_t index,
                                                     uint32_t limit) const
{
    const PyrDicomVR resolved = ResolveVR(vr);
    if (PyrVR::IsOpaque(resolved)) {
        return kPyrNoValue;
    }
    const bool known =
        PyrVR::IsPlainText(resolved) || PyrVR::IsCharsetText(resolved) || PyrVR::NumericSize(resolved) != 0;
    if (!known) {
        return kPyrNoValue;
    }
    if (bytesHeld_ == 0 || value_ == nullptr) {
        value.Release();
        return kPyrSuccess;
    }
    if (PyrVR::IsPlainText(resolved)) {
        return GetPlainText(value, resolved, index, limit);
    }
    if (PyrVR::IsCharsetText(resolved)) {
        return GetCharsetText(value, resolved, index, limit);
    }
    return GetNumericText(value, resolved, index, limit);
}

PyrDicomResult PyrDicomDataElement::GetShortString(PyrString& value, uint32_t maxBytes, PyrDicomVR vr) const
{
    return PyrNoThrow([&]() -> PyrDicomResult {
        const PyrDicomVR resolved = ResolveVR(vr);
        const uint32_t held = value_ != nullptr ? bytesHeld_ : 0;
        const uint64_t window = uint64_t(maxBytes) + 1;
        if (!PyrVR::IsPlainText(resolved)) {
            // Up to four bytes a character; a longer value, cut, is marked as longer.
            const uint64_t bytes = window * 4;
            if (held <= bytes) {
                return GetStringValueOf(value, vr, -1, UINT32_MAX);
            }
            const PyrDicomResult r = GetStringValueOf(value, vr, -1, static_cast<uint32_t>(bytes));
            if (PyrSucceeded(r) && value.GetLength() <= maxBytes) {
                value.Append(u"\uFFFD");
            }
            return r;
        }
        size_t begin = 0;
        if (resolved != PyrVR::TM) {
            while (begin < held && value_[begin] == ' ') {
                ++begin;
            }
        }
        size_t end = size_t(std::min<uint64_t>(held, begin + window));
        size_t next = end;
        while (next < held && IsPadding(value_[next])) {
            ++next;
        }
        if (next == held) {
            // All the rest is padding: the whole value, as its getter reads it.
            return GetPlainText(value, resolved, -1, static_cast<uint32_t>(end));
        }
        // Longer than maxBytes: its first bytes as they are, up to a zero byte.
        std::u16string text;
        for (size_t i = begin; i < end && value_[i] != 0; ++i) {
            text.push_back(value_[i]);
        }
        return MakeString(value, text) ? kPyrSuccess : kPyrOutOfMemory;
    });
}

PyrDicomResult PyrDicomDataElement::GetChildShortString(uint32_t group, uint32_t element, PyrString& value,
                                                        uint32_t maxBytes, PyrDicomVR vr) const
{
    const PyrDicomDataElement* child = FindChild(group, element);
    return child != nullptr ? child->GetShortString(value, maxBytes, vr) : kPyrNoValue;
}

uint32_t PyrDicomDataElement::GetULongOr(uint32_t fallback, PyrDicomVR vr, int32_t index) const
{
    uint32_t v = 0;
    return GetULong(v, vr, index) == kPyrSuccess ? v : fallback;
}

int32_t PyrDicomDataElement::GetLongOr(int32_t fallback, PyrDicomVR vr, int32_t index) const
{
    int32_t v = 0;
    return GetLong(v, vr, index) == kPyrSuccess ? v : fallback;
}

double PyrDicomDataElement::GetDoubleOr(double fallback, PyrDicomVR vr, int32_t index) const
{
    double v = 0;
    return GetDouble(v, vr, index) == kPyrSuccess ? v : fallback;
}

PyrString PyrDicomDataElement::GetStringValueOr(const PyrString& fallback, PyrDicomVR vr, int32_t index) const
{
    PyrString v;
    return PyrSucceeded(GetStringValue(v, vr, index)) ? v : fallback;
}

PyrDicomResult PyrDicomDataElement::GetChildULong(uint32_t group, uint32_t element, uint32_t& value, PyrDicomVR vr,
                                                  int32_t index) const
{
    const PyrDicomDataElement* child = FindChild(group, element);
    return child != nullptr ? child->GetULong(value, vr, index) : kPyrNoValue;
}

PyrDicomResult PyrDicomDataElement::GetChildLong(uint32_t group, uint32_t element, int32_t& value, PyrDicomVR vr,
                                                 int32_t index) const
{
    const PyrDicomDataElement* child = FindChild(group, element);
    return child != nullptr ? child->GetLong(value, vr, index) : kPyrNoValue;
}

PyrDicomResult PyrDicomDataElement::GetChildDouble(uint32_t group, uint32_t element, double& value, PyrDicomVR vr,
                                                   int32_t index) const
{
    const PyrDicomDataElement* child = FindChild(group, element);
    return child != nullptr ? child->GetDouble(value, vr, index) : kPyrNoValue;
}

PyrDicomResult PyrDicomDataElement::GetChildString(uint32_t group, uint32_t element, PyrString& value, PyrDicomVR vr,
                                                   int32_t index, uint32_t limit) const
{
    const PyrDicomDataElement* child = FindChild(group, element);
    return child != nullptr ? child->GetStringValue(value, vr, index, limit) : kPyrNoValue;
}

uint32_t PyrDicomDataElement::GetChildULongOr(uint32_t group, uint32_t element, uint32_t fallback, PyrDicomVR vr,
                                              int32_t index) const
{
    const PyrDicomDataElement* child = FindChild(group, element);
    return child != nullptr ? child->GetULongOr(fallback, vr, index) : fallback;
}

int32_t PyrDicomDataElement::GetChildLongOr(uint32_t group, uint32_t element, int32_t fallback, PyrDicomVR vr,
                                            int32_t index) const
{
    const PyrDicomDataElement* child = FindChild(group, element);
    return child != nullptr ? child->GetLongOr(fallback, vr, index) : fallback;
}

double PyrDicomDataElement::GetChildDoubleOr(uint32_t group, uint32_t element, double fallback, PyrDicomVR vr,
                                             int32_t index) const
{
    const PyrDicomDataElement* child = FindChild(group, element);
    return child != nullptr ? child->GetDoubleOr(fallback, vr, index) : fallback;
}

PyrString PyrDicomDataElement::GetChildStringOr(uint32_t group, uint32_t element, const PyrString& fallback,
                                                PyrDicomVR vr, int32_t index) const
{
    const PyrDicomDataElement* child = FindChild(group, element);
    return child != nullptr ? child->GetStringValueOr(fallback, vr, index) : fallback;
}

uint32_t PyrDicomDataElement::GetMultiplicity(PyrDicomVR vr) const
{
    if (bytesHeld_ == 0) {
        return 0;
    }
    const PyrDicomVR resolved = ResolveVR(vr);
    switch (resolved) {
    case PyrVR::AE:
    case PyrVR::AS:
    case PyrVR::CS:
    case PyrVR::DA:
    case PyrVR::DS:
    case PyrVR::DT:
    case PyrVR::IS:
    case PyrVR::TM:
    case PyrVR::UI: {
        // Counted among the bytes, up to the zero byte where the value's text would end.
        uint32_t count = 1;
        for (uint32_t i = 0; value_ != nullptr && i < bytesHeld_ && value_[i] != 0; ++i) {
            count += value_[i] == '\\' ? 1 : 0;
        }
        return count;
    }
    case PyrVR::LO:
    case PyrVR::PN:
    case PyrVR::SH: {
        PyrString text;
        if (!PyrSucceeded(GetStringValue(text, resolved, -1))) {
            return 0;
        }
        uint32_t count = 1;
        for (char16_t c : text.View()) {
            count += c == u'\\' ? 1 : 0;
        }
        return count;
    }
    case PyrVR::AT:
    case PyrVR::FL:
    case PyrVR::SL:
    case PyrVR::UL:
    case PyrVR::FD:
    case PyrVR::SS:
    case PyrVR::US: {
        const uint32_t size = PyrVR::NumericSize(resolved);
        return bytesHeld_ % size == 0 ? bytesHeld_ / size : 0;
    }
    case PyrVR::OB:
    case PyrVR::OW:
    case PyrVR::OF:
    case PyrVR::SQ:
    case PyrVR::UN:
    case PyrVR::ST:
    case PyrVR::LT:
    case PyrVR::UT: return 1;
    default: return 0;
    }
}

uint32_t PyrDicomDataElement::GetChildMultiplicity(uint32_t group, uint32_t element, PyrDicomVR vr) const
{
    const PyrDicomDataElement* child = FindChild(group, element);
    return child != nullptr ? child->GetMultiplicity(vr) : 0;
}

// ---- setters -------------------------------------------------------------------------

PyrDicomResult PyrDicomDataElement::StoreNumber(const void* bytes, uint32_t size, int32_t index)
{
    if (index < 0) {
        if (const PyrDicomResult r = AllocateValue(size, false); r != kPyrSuccess) {
            return r;
        }
        std::memcpy(value_, bytes, size);
        return kPyrSuccess;
    }
    const uint64_t needed = (uint64_t(index) + 1) * size;
    if (needed > UINT32_MAX) {
        return kPyrBadArgument;
    }
    if (bytesHeld_ < needed || value_ == nullptr) {
        const size_t oldSize = value_ != nullptr ? bytesHeld_ : 0;
        const std::unique_ptr<uint8_t, decltype(&std::free)> old(
            static_cast<uint8_t*>(std::malloc(oldSize != 0 ? oldSize : 1)), &std::free);
        if (old == nullptr) {
            return kPyrOutOfMemory;
        }
        if (oldSize != 0) {
            std::memcpy(old.get(), value_, oldSize);
        }
        if (const PyrDicomResult r = AllocateValue(static_cast<uint32_t>(needed), false); r != kPyrSuccess) {
            return r;
        }
        if (oldSize != 0) {
            std::memcpy(value_, old.get(), oldSize);
        }
    }
    std::memcpy(value_ + uint64_t(index) * size, bytes, size);
    return kPyrSuccess;
}

// A number written as text is never empty: empty text means there was no memory to write it.
PyrDicomResult PyrDicomDataElement::SetNumberText(const PyrString& text, PyrDicomVR vr, int32_t index)
{
    return text.IsEmpty() ? kPyrOutOfMemory : SetString(text, vr, index);
}

PyrDicomResult PyrDicomDataElement::SetULong(uint32_t value, PyrDicomVR vr, int32_t index)
{
    static const char* const kFunction = __PRETTY_FUNCTION__;
    if (index < -1) {
        PyrWriteLog(kFunction, kPyrLogError, kPyrBadArgument, u"The index is negative.");
        return kPyrBadArgument;
    }
    const PyrDicomVR resolved = StoreVR(vr);
    switch (resolved) {
    case PyrVR::SL:
    case PyrVR::UL: return StoreNumber(&value, 4, index);
    case PyrVR::AT: {
        const uint16_t words[2] = {static_cast<uint16_t>(value >> 16), static_cast<uint16_t>(value)};
        return StoreNumber(words, 4, index);
    }
    case PyrVR::SS:
    case PyrVR::US: {
        const uint16_t v = static_cast<uint16_t>(value);
        return StoreNumber(&v, 2, index);
    }
    default:
        return TakesNumberText(resolved) ? SetNumberText(PyrStringFromULong(value, 10), resolved, index) : kPyrNoValue;
    }
}

PyrDicomResult PyrDicomDataElement::SetLong(int32_t value, PyrDicomVR vr, int32_t index)
{
    static const char* const kFunction = __PRETTY_FUNCTION__;
    if (index < -1) {
        PyrWriteLog(kFunction, kPyrLogError, kPyrBadArgument, u"The index is negative.");
        return kPyrBadArgument;
    }
    const PyrDicomVR resolved = StoreVR(vr);
    switch (resolved) {
    case PyrVR::SL:
    case PyrVR::UL: return StoreNumber(&value, 4, index);
    case PyrVR::SS:
    case PyrVR::US: {
        const uint16_t v = static_cast<uint16_t>(static_cast<uint32_t>(value));
        return StoreNumber(&v, 2, index);
    }
    default:
        return TakesNumberText(resolved) ? SetNumberText(PyrStringFromLong(value, 10), resolved, index) : kPyrNoValue;
    }
}

PyrDicomResult PyrDicomDataElement::SetDouble(double value, PyrDicomVR vr, int32_t index)
{
    if (index < -1) {
        return kPyrBadArgument;
    }
    const PyrDicomVR resolved = StoreVR(vr);
    switch (resolved) {
    case PyrVR::FL: {
        const float v = static_cast<float>(value);
        return StoreNumber(&v, 4, index);
    }
    case PyrVR::FD: return StoreNumber(&value, 8, index);
    case PyrVR::DS:
        return SetNumberText(value < 100000000.0 ? PyrStringFormat(u"%.06f", value) : PyrStringFormat(u"%e", value),
                             resolved, index);
    case PyrVR::IS: {
        // Out of the 32-bit range (or not a number) the truncation would be undefined.
        if (!(value > -2147483649.0 && value < 2147483648.0)) {
            return kPyrBadArgument;
        }
        return SetNumberText(PyrStringFromLong(static_cast<int32_t>(value), 10), resolved, index);
    }
    default: return kPyrNoValue;
    }
}

PyrDicomResult PyrDicomDataElement::SetString(const PyrString& text, PyrDicomVR vr, int32_t index)
{
    return PyrNoThrow([&] { return SetStringOf(text, vr, index); });
}

PyrDicomResult PyrDicomDataElement::SetStringOf(const PyrString& text, PyrDicomVR vr, int32_t index)
{
    static const char* const kFunction = __PRETTY_FUNCTION__;
    if (index < -1) {
        return kPyrBadArgument;
    }
    const PyrDicomVR resolved = StoreVR(vr);
    switch (resolved) {
    case PyrVR::SL:
    case PyrVR::SS:
    case PyrVR::UL:
    case PyrVR::US: {
        const bool isSigned = resolved == PyrVR::SL || resolved == PyrVR::SS;
        if (index >= 0) {
            const char16_t* end = nullptr;
            if (text.IsEmpty()) {
                return kPyrNoValue;
            }
            if (isSigned) {
                const int32_t v = PyrTextToLong(text.GetString(), &end);
                return *end != 0 || end == text.GetString() ? kPyrNoValue : SetLong(v, resolved, index);
            }
            const uint32_t v = PyrTextToULong(text.GetString(), &end);
            return *end != 0 || end == text.GetString() ? kPyrNoValue : SetULong(v, resolved, index);
        }
        // Split before the old value goes, so that running out of memory leaves it.
        std::vector<PyrString> pieces;
        if (const PyrDicomResult r = SplitValues(text.View(), pieces); r != kPyrSuccess) {
            return r;
        }
        // The whole value is replaced, so values beyond the new count must not survive.
        if (const PyrDicomResult r = AllocateValue(0, false); r != kPyrSuccess || text.IsEmpty()) {
            return r;
        }
        for (size_t i = 0; i < pieces.size(); ++i) {
            if (const PyrDicomResult r = SetString(pieces[i], resolved, static_cast<int32_t>(i)); r != kPyrSuccess) {
                return r;
            }
        }
        return kPyrSuccess;
    }
    case PyrVR::FL:
    case PyrVR::FD: return SetDouble(PyrTextToDouble(text.GetString()), resolved, index);
    case PyrVR::AT: {
        const char16_t* p = text.GetString();
        uint32_t group = 0;
        uint32_t element = 0;
        if (!ScanHexWord(p, group) || !ScanHexWord(p, element)) {
            PyrWriteLog(kFunction, kPyrLogError, kPyrBadArgument, u"The format of the string doesn't fit.");
            return kPyrBadArgument;
        }
        return SetULong((group << 16) | element, resolved, index);
    }
    default: break;
    }
    if (!PyrVR::IsPlainText(resolved) && !PyrVR::IsCharsetText(resolved)) {
        return kPyrNoValue;
    }
    return StoreText(text, resolved, index);
}

PyrDicomResult PyrDicomDataElement::StoreText(const PyrString& text, PyrDicomVR vr, int32_t index)
{
    static const char* const kFunction = __PRETTY_FUNCTION__;
    const uint64_t limit = TextLimit(vr);
    const std::u16string_view given = text.View();
    bool fits = true;
    if (index < 0) {
        size_t start = 0;
        while (fits) {
            const size_t slash = given.find(u'\\', start);
            const size_t end = slash == std::u16string_view::npos ? given.size() : slash;
            fits = end - start <= limit;
            if (slash == std::u16string_view::npos) {
                break;
            }
            start = slash + 1;
        }
    } else {
        fits = given.size() <= limit;
    }
    if (!fits) {
        PyrWriteLog(kFunction, kPyrLogError, kPyrBadArgument, u"The length of the value exceed the vr specific limit.");
        return kPyrBadArgument;
    }

    const PyrString* whole = &text;
    PyrString joined;
    if (index >= 0) {
        PyrString current;
        if (const PyrDicomResult r = GetStringValueOf(current, vr, -1, UINT32_MAX); r == kPyrOutOfMemory) {
            return r;
        }
        std::vector<PyrString> values;
        if (const PyrDicomResult r = SplitValues(current.View(), values); r != kPyrSuccess) {
            return r;
        }
        if (static_cast<size_t>(index) >= values.size()) {
            values.resize(static_cast<size_t>(index) + 1);
        }
        PyrString& replaced = values[static_cast<size_t>(index)];
        if (!MakeString(replaced, text.View())) {
            return kPyrOutOfMemory;
        }
        uint64_t length = values.size() - 1;
        for (const PyrString& v : values) {
            length += v.GetLength();
        }
        joined = JoinPyrStrings(values, PyrString(kBackslash));
        if (joined.GetLength() != length) {
            return kPyrOutOfMemory;
        }
        whole = &joined;
    }

    std::string bytes;
    if (PyrVR::IsCharsetText(vr)) {
        const bool os = dataset_ != nullptr && dataset_->GetOptions().osTextConversion != 0;
        PyrString charset;
        if (const PyrDicomResult r = FindSpecificCharacterSet(charset, true); r != kPyrSuccess) {
            return r;
        }
        if (const PyrDicomResult r = PyrDicomLib::ConvertUtf16ToDicomCharEncode(bytes, *whole, charset, vr, os);
            r != kPyrSuccess) {
            return r;
        }
    } else {
        bytes.reserve(whole->GetLength());
        for (char16_t c : whole->View()) {
            bytes.push_back(c < 0x7F ? static_cast<char>(c) : ' ');
        }
    }
    if (bytes.size() > UINT32_MAX - 1) {
        return kPyrBadArgument;
    }
    const uint32_t size = static_cast<uint32_t>(bytes.size());
    if (const PyrDicomResult r = AllocateValue(size, true); r != kPyrSuccess) {
        return r;
    }
    if (size != 0) {
        std::memcpy(value_, bytes.data(), size);
    }
    if (bytesHeld_ > size) {
        value_[size] = vr == PyrVR::UI ? 0 : ' ';
    }
    return kPyrSuccess;
}

// ---- reading values in order ---------------------------------------------------------

PyrDicomValueReader::PyrDicomValueReader(const PyrDicomDataElement& element, PyrDicomVR vr)
    : element_(element), vr_(element.ResolveVR(vr))
{
    const PyrDicomVR own = element.ResolveVR(PyrVR::Unset);
    const uint32_t held = element.value_ != nullptr ? element.bytesHeld_ : 0;
    if (PyrVR::IsPlainText(vr_)) {
        mode_ = Mode::Text;
        done_ = held == 0;
        if (vr_ != PyrVR::TM) {
            while (at_ < held && element.value_[at_] == ' ') {
                ++at_;
            }
        }
    } else if (vr_ == PyrVR::LO || vr_ == PyrVR::PN || vr_ == PyrVR::SH) {
        mode_ = Mode::Split;
        done_ = held == 0;
    } else if (PyrVR::IsCharsetText(vr_)) {
        mode_ = Mode::Whole;
        done_ = held == 0;
    } else if (PyrVR::NumericSize(vr_) != 0) {
        mode_ = Mode::Items;
        itemSize_ = PyrVR::NumericSize(vr_);
    }
    // Read otherwise than the element's own VR splits it, the values are still those it counts.
    const bool sameSplit = own == vr_ || (PyrVR::IsPlainText(own) && PyrVR::IsPlainText(vr_));
    if (!sameSplit || mode_ == Mode::Indexed) {
        count_ = element.GetMultiplicity(PyrVR::Unset);
    } else if (mode_ == Mode::Items) {
        count_ = element.bytesHeld_ % itemSize_ == 0 ? element.bytesHeld_ / itemSize_ : 0;
    }
}

void PyrDicomValueReader::Settle()
{
    if (!pending_) {
        return;
    }
    pending_ = false;
    if (mode_ == Mode::Text) {
        const uint8_t* bytes = element_.value_;
        const size_t held = element_.bytesHeld_;
        size_t i = at_;
        while (i < held && bytes[i] != '\\' && bytes[i] != 0) {
            ++i;
        }
        // The text of the value ends at a zero byte, and with it the values.
        done_ = i == held || bytes[i] == 0;
        at_ = i + 1;
    } else if (mode_ == Mode::Split) {
        const size_t slash = text_.View().find(u'\\', at_);
        done_ = slash == std::u16string_view::npos;
        at_ = slash + 1;
    } else if (mode_ == Mode::Whole) {
        done_ = true;
    }
}

void PyrDicomValueReader::Convert()
{
    if (!converted_) {
        converted_ = true;
        conversion_ = element_.GetStringValue(text_, vr_, -1);
        done_ = done_ || !PyrSucceeded(conversion_);
    }
}

bool PyrDicomValueReader::AtEnd()
{
    Settle();
    if (mode_ == Mode::Split) {
        Convert();
    }
    return done_ || index_ >= count_;
}

template <class A>
PyrDicomResult PyrDicomValueReader::NextNumber(A& value)
{
    if (AtEnd()) {
        return kPyrNoValue;
    }
    const uint32_t index = index_++;
    if (mode_ == Mode::Text) {
        pending_ = true;
        const bool floats = std::is_same_v<A, double>;
        if (vr_ != PyrVR::IS && !(floats && vr_ == PyrVR::DS)) {
            return kPyrNoValue;
        }
        const uint8_t* bytes = element_.value_;
        return ParseTextNumber(bytes + at_, bytes + element_.bytesHeld_, vr_, element_.HeldCut(), value) ? kPyrSuccess
                                                                                                         : kPyrNoValue;
    }
    if (mode_ == Mode::Split || mode_ == Mode::Whole) {
        pending_ = true;   // text in a character set holds no number
        return kPyrNoValue;
    }
    const int32_t i = static_cast<int32_t>(std::min<uint32_t>(index, INT32_MAX));
    if constexpr (std::is_same_v<A, uint32_t>) {
        return element_.GetULong(value, vr_, i);
    } else if constexpr (std::is_same_v<A, int32_t>) {
        return element_.GetLong(value, vr_, i);
    } else {
        return element_.GetDouble(value, vr_, i);
    }
}

PyrDicomResult PyrDicomValueReader::NextULong(uint32_t& value)
{
    return NextNumber(value);
}

PyrDicomResult PyrDicomValueReader::NextLong(int32_t& value)
{
    return NextNumber(value);
}

PyrDicomResult PyrDicomValueReader::NextDouble(double& value)
{
    return NextNumber(value);
}

PyrDicomResult PyrDicomValueReader::NextString(PyrString& value)
{
    if (AtEnd()) {
        value.Release();
        return kPyrNoValue;
    }
    const uint32_t index = index_++;
    pending_ = true;
    if (mode_ == Mode::Text) {
        const uint8_t* bytes = element_.value_;
        const size_t held = element_.bytesHeld_;
        size_t end = at_;
        while (end < held && bytes[end] != '\\' && bytes[end] != 0) {
            ++end;
        }
        // The value's padding is cut where it ends the whole value.
        size_t rest = end;
        while (rest < held && IsPadding(bytes[rest])) {
            ++rest;
        }
        size_t last = end;
        if (rest == held) {
            while (last > at_ && IsPadding(bytes[last - 1])) {
                --last;
            }
        }
        return PyrNoThrow([&] {
            std::u16string text(bytes + at_, bytes + last);
            return MakeString(value, text) ? kPyrSuccess : kPyrOutOfMemory;
        });
    }
    if (mode_ == Mode::Split) {
        const std::u16string_view all = text_.View();
        const size_t slash = all.find(u'\\', at_);
        const std::u16string_view piece =
            all.substr(at_, slash == std::u16string_view::npos ? std::u16string_view::npos : slash - at_);
        return PyrNoThrow([&] { return MakeString(value, piece) ? conversion_ : kPyrOutOfMemory; });
    }
    const int32_t i = static_cast<int32_t>(std::min<uint32_t>(index, INT32_MAX));
    return element_.GetStringValue(value, vr_, i);
}
