#include "pyr/pyrdicomdataset.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>

#include "pyr/pyrlog.h"
#include "pyrnothrow.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
// An element's memory waiting for reuse is off limits, as freed heap memory would be.
#define PYR_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define PYR_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define PYR_POISON(address, size) ((void)(address), (void)(size))
#define PYR_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

// One row per line, as the table reads.
// clang-format off
const PyrTransferSyntaxRow TransferSyntaxTable[16] = {
    {u"1.2.840.10008.1.2", kPyrImplicitLittle},
    {u"1.2.840.10008.1.2.1", kPyrExplicitLittle},
    {u"1.2.840.10008.1.2.1.99", kPyrExplicitLittle},   // deflated: read as is, nothing is inflated
    {u"1.2.840.10008.1.2.2", kPyrExplicitBig},
    {u"1.2.840.10008.1.2.4.50", kPyrExplicitLittle},
    {u"1.2.840.10008.1.2.4.51", kPyrExplicitLittle},
    {u"1.2.840.10008.1.2.4.57", kPyrExplicitLittle},
    {u"1.2.840.10008.1.2.4.70", kPyrExplicitLittle},
    {u"1.2.840.10008.1.2.4.80", kPyrExplicitLittle},
    {u"1.2.840.10008.1.2.4.81", kPyrExplicitLittle},
    {u"1.2.840.10008.1.2.4.90", kPyrExplicitLittle},
    {u"1.2.840.10008.1.2.4.91", kPyrExplicitLittle},
    {u"1.2.840.10008.1.2.4.94", kPyrExplicitLittle},
    {u"1.2.840.10008.1.2.4.95", kPyrExplicitLittle},
    {u"1.2.840.10008.1.2.4.100", kPyrExplicitLittle},
    {u"1.2.840.10008.1.2.5", kPyrExplicitLittle},
};
// clang-format on

PyrDicomEncoding TransferSyntaxToEncoding(const PyrString& uid)
{
    if (uid.IsEmpty()) {
        return kPyrImplicitLittle;
    }
    for (const PyrTransferSyntaxRow& row : TransferSyntaxTable) {
        if (uid == row.uid) {
            return row.encoding;
        }
    }
    return kPyrExplicitLittle;
}

namespace {

constexpr uint32_t kItemGroup = 0xFFFE;
constexpr uint32_t kItem = 0xE000;
constexpr uint32_t kItemEnd = 0xE00D;
constexpr uint32_t kSequenceEnd = 0xE0DD;
constexpr uint32_t kMetaGroup = 0x0002;
constexpr uint32_t kPixelGroup = 0x7FE0;
constexpr uint32_t kPixelElement = 0x0010;
constexpr uint32_t kMaxDepth = 10;
constexpr uint64_t kNoLimit = UINT64_MAX;
constexpr uint32_t kPreambleSize = 132;
// Values above this size are first checked against the source by seeking over them, so a
// forged length never costs more memory than the source really holds.
constexpr uint32_t kCheckedReadSize = 1u << 20;

const char16_t kImplicitLittleUid[] = u"1.2.840.10008.1.2";
const char16_t kExplicitLittleUid[] = u"1.2.840.10008.1.2.1";
const char16_t kExplicitBigUid[] = u"1.2.840.10008.1.2.2";
const char16_t kJpegLosslessUid[] = u"1.2.840.10008.1.2.4.70";

bool IsShortLengthVR(PyrDicomVR vr)
{
    switch (vr) {
    case PyrVR::AE:
    case PyrVR::AS:
    case PyrVR::AT:
    case PyrVR::CS:
    case PyrVR::DA:
    case PyrVR::DS:
    case PyrVR::DT:
    case PyrVR::FL:
    case PyrVR::FD:
    case PyrVR::IS:
    case PyrVR::LO:
    case PyrVR::LT:
    case PyrVR::PN:
    case PyrVR::SH:
    case PyrVR::SL:
    case PyrVR::SS:
    case PyrVR::ST:
    case PyrVR::TM:
    case PyrVR::UI:
    case PyrVR::UL:
    case PyrVR::US: return true;
    default: return false;
    }
}

uint32_t Word16(const uint8_t* p, PyrDicomEncoding encoding)
{
    return encoding == kPyrExplicitBig ? (uint32_t(p[0]) << 8) | p[1] : p[0] | (uint32_t(p[1]) << 8);
}

uint32_t Word32(const uint8_t* p, PyrDicomEncoding encoding)
{
    return encoding == kPyrExplicitBig ? (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]
                                       : p[0] | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

bool AllZero(const uint8_t (&head)[8])
{
    return std::all_of(std::begin(head), std::end(head), [](uint8_t b) { return b == 0; });
}

uint32_t Low(uint64_t position)
{
    return static_cast<uint32_t>(position);
}

uint32_t High(uint64_t position)
{
    return static_cast<uint32_t>(position >> 32);
}

void SwapItems(uint8_t* bytes, uint32_t length, uint32_t size)
{
    if (size < 2 || length % size != 0) {
        return;   // not whole items: left as read
    }
    for (uint32_t i = 0; i < length; i += size) {
        std::reverse(bytes + i, bytes + i + size);
    }
}

uint32_t SwapSize(PyrDicomVR vr)
{
    switch (vr) {
    case PyrVR::US:
    case PyrVR::SS:
    case PyrVR::OW:
    case PyrVR::AT: return 2;   // AT: group and element words each
    case PyrVR::OF:
    case PyrVR::FL:
    case PyrVR::SL:
    case PyrVR::UL: return 4;
    case PyrVR::FD: return 8;
    default: return 0;
    }
}

// Frees an element that the reader made unless it was attached to the tree.
struct PendingElement {
    explicit PendingElement(PyrDicomDataElement* e) : element(e) {}
    ~PendingElement() { delete element; }
    PyrDicomDataElement* Release()
    {
        PyrDicomDataElement* e = element;
        element = nullptr;
        return e;
    }
    PyrDicomDataElement* element;
};

}   // namespace

PyrDicomDataset::PyrDicomDataset(const PyrDicomDatasetOptions* options, std::pmr::memory_resource* upstream)
    : arena_(64 * 1024, upstream != nullptr ? upstream : std::pmr::get_default_resource()),
      options_(options != nullptr ? *options : PyrDefaultDatasetOptions()),
      pixelFragments_(upstream != nullptr ? upstream : std::pmr::get_default_resource())
{
    root_ = CreateElement();
    Reset();
}

PyrDicomDataset::~PyrDicomDataset()
{
    destroying_ = true;
    // Every element the dataset made lives in its arena: each lets go of what it holds
    // outside it, and the arena then goes whole instead of element by element.
    for (PyrDicomDataElement* e = registry_; e != nullptr; e = e->registryNext_) {
        e->ReleaseOutsideArena();
    }
    registry_ = nullptr;
    root_ = nullptr;
    CloseReading();
}

void PyrDicomDataset::RecycleElement(void* memory)
{
    static_assert(sizeof(FreeElement) <= sizeof(PyrDicomDataElement));
    auto* free = static_cast<FreeElement*>(memory);
    free->next = freeElements_;
    freeElements_ = free;
    PYR_POISON(static_cast<uint8_t*>(memory) + sizeof(FreeElement), sizeof(PyrDicomDataElement) - sizeof(FreeElement));
}

void* PyrDicomDataset::ArenaAllocate(size_t size, size_t alignment)
{
    try {
        return arena_.allocate(size, alignment);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void PyrDicomDataset::Unregister(PyrDicomDataElement* element)
{
    if (element->registryPrev_ != nullptr) {
        element->registryPrev_->registryNext_ = element->registryNext_;
    } else if (registry_ == element) {
        registry_ = element->registryNext_;
    }
    if (element->registryNext_ != nullptr) {
        element->registryNext_->registryPrev_ = element->registryPrev_;
    }
    element->registryPrev_ = element->registryNext_ = nullptr;
}

void PyrDicomDataset::RootDeleted(PyrDicomDataElement* element)
{
    if (root_ == element) {
        root_ = nullptr;   // the next Reset makes a new one
    }
}

PyrDicomDataElement* PyrDicomDataset::CreateElement()
{
    void* memory = freeElements_;
    if (memory != nullptr) {
        freeElements_ = freeElements_->next;
        PYR_UNPOISON(static_cast<uint8_t*>(memory) + sizeof(FreeElement),
                     sizeof(PyrDicomDataElement) - sizeof(FreeElement));
    } else {
        memory = ArenaAllocate(sizeof(PyrDicomDataElement), alignof(PyrDicomDataElement));
    }
    if (memory == nullptr) {
        return nullptr;
    }
    PyrDicomDataElement* element = new (memory) PyrDicomDataElement(nullptr, &arena_);
    element->inArena_ = true;
    element->registryNext_ = registry_;
    if (registry_ != nullptr) {
        registry_->registryPrev_ = element;
    }
    registry_ = element;
    element->dataset_ = this;
    return element;
}

PyrDicomDataElement* PyrDicomDataset::FindElement(uint32_t group, uint32_t element) const
{
    return root_ != nullptr ? root_->FindChild(group, element) : nullptr;
}

PyrString PyrDicomDataset::GetString(uint32_t group, uint32_t element, const PyrString& fallback, PyrDicomVR vr,
                                     int32_t index) const
{
    return root_ != nullptr ? root_->GetChildStringOr(group, element, fallback, vr, index) : fallback;
}

uint32_t PyrDicomDataset::GetULong(uint32_t group, uint32_t element, uint32_t fallback, PyrDicomVR vr,
                                   int32_t index) const
{
    return root_ != nullptr ? root_->GetChildULongOr(group, element, fallback, vr, index) : fallback;
}

int32_t PyrDicomDataset::GetLong(uint32_t group, uint32_t element, int32_t fallback, PyrDicomVR vr, int32_t index) const
{
    return root_ != nullptr ? root_->GetChildLongOr(group, element, fallback, vr, index) : fallback;
}

PyrDicomResult PyrDicomDataset::CloseReading()
{
    return kPyrSuccess;   // no handle is ever opened here
}

PyrDicomResult PyrDicomDataset::Reset()
{
    if (root_ != nullptr) {
        root_->Reset();
    } else {
        root_ = CreateElement();
    }
    position_ = 0;
    pixelDataStart_ = 0;
    pixelDataSize_ = 0;
    pixelFragments_.Clear();
    fragmentsCut_ = false;
    sourcePath_.Release();
    read_ = nullptr;
    seek_ = nullptr;
    userData_ = nullptr;
    transferSyntax_.Release();
    givenTransferSyntax_.Release();
    transferSyntaxRead_ = false;
    transferSyntaxEncoding_ = kPyrExplicitLittle;
    metaLengthKnown_ = false;
    metaEnd_ = 0;
    partLeftOut_ = false;
    unSequenceRead_ = false;
    heldBytes_ = 0;
    readResult_ = kPyrSuccess;
    return CloseReading();
}

// ---- primitive moves -----------------------------------------------------------------

PyrDicomResult PyrDicomDataset::ProbeEnd(bool& end)
{
    uint8_t flag = 0;
    const int32_t r = read_(nullptr, Low(position_), High(position_), 0, userData_, &flag);
    if (r != 0) {
        return static_cast<PyrDicomResult>(r);
    }
    end = flag != 0;
    return kPyrSuccess;
}

PyrDicomResult PyrDicomDataset::ReadFailed(PyrDicomResult code)
{
    // Running out of data inside an element is a format fault, not an I/O one.
    bool end = false;
    return ProbeEnd(end) == kPyrSuccess && end ? kPyrBadPosition : code;
}

// The reader's hot steps are inlined into the element loop: one call per element each.
#define PYR_HOT inline __attribute__((always_inline))

PYR_HOT PyrDicomResult PyrDicomDataset::ReadBytes(void* buffer, uint32_t count)
{
    if (count == 0) {
        return kPyrSuccess;
    }
    uint8_t end = 0;
    const int32_t r = read_(buffer, Low(position_), High(position_), count, userData_, &end);
    if (r != 0) {
        return ReadFailed(static_cast<PyrDicomResult>(r));
    }
    position_ += count;
    return kPyrSuccess;
}

PyrDicomResult PyrDicomDataset::Seek(int64_t delta)
{
    if (delta < INT32_MIN || delta > INT32_MAX || static_cast<int64_t>(position_) + delta < 0) {
        return kPyrBadPosition;
    }
    if (seek_(Low(position_), High(position_), static_cast<int32_t>(delta), userData_) != 0) {
        return kPyrIoError;
    }
    position_ = static_cast<uint64_t>(static_cast<int64_t>(position_) + delta);
    return kPyrSuccess;
}

PyrDicomResult PyrDicomDataset::SkipForward(uint32_t length, uint64_t limit)
{
    // Past the container, past the source, or too far for one forward seek: never wrap
    // around into a backward move.
    if (length > limit - position_ || length > static_cast<uint32_t>(INT32_MAX)) {
        return kPyrBadPosition;
    }
    if (length == 0) {
        return kPyrSuccess;
    }
    const uint64_t after = position_ + length;
    if (seek_(Low(after), High(after), static_cast<int32_t>(length), userData_) != 0) {
        return kPyrBadPosition;
    }
    position_ = after;
    return kPyrSuccess;
}

PyrDicomResult PyrDicomDataset::SkipValue(PyrDicomDataElement* element, uint64_t limit)
{
    const uint32_t length = element->GetLength();
    element->SetValueLocation(sourcePath_, static_cast<int64_t>(position_), length);
    return SkipForward(length, limit);
}

PyrDicomResult PyrDicomDataset::ReadValuePrefix(PyrDicomDataElement* element, uint32_t kept, uint64_t limit)
{
    const uint32_t length = element->GetLength();
    if (heldBytes_ + kept > kPyrHeldValueLimit) {
        PyrWriteLog("PyrDicomDataset::ReadValue", kPyrLogWarning, kPyrBadPosition,
                    u"A value past the memory for values was left in the source.");
        partLeftOut_ = true;
        return SkipValue(element, limit);
    }
    heldBytes_ += kept;
    if (const PyrDicomResult r = element->AllocateValue(kept, false); r != kPyrSuccess) {
        return r;
    }
    element->valuePosition_ = static_cast<int64_t>(position_);
    if (const PyrDicomResult r = ReadBytes(element->MutableValue(), kept); r != kPyrSuccess) {
        return r;
    }
    element->length_ = length;
    return SkipForward(length - kept, limit);
}

PyrDicomResult PyrDicomDataset::ReadValue(PyrDicomDataElement* element, PyrDicomEncoding encoding, uint64_t limit)
{
    const uint32_t length = element->GetLength();
    if (length > limit - position_ || length > static_cast<uint32_t>(INT32_MAX)) {
        return kPyrBadPosition;
    }
    if (options_.keptValueLength != 0 && length > options_.keptValueLength) {
        const PyrDicomVR vr = element->ResolveVR(PyrVR::Unset);
        if (!PyrVR::IsPlainText(vr) && !PyrVR::IsCharsetText(vr)) {
            return SkipValue(element, limit);
        }
        // A text keeps its first bytes, what a bounded read of the whole would give, and its
        // whole length: it reads as cut, never as absent.
        return ReadValuePrefix(element, options_.keptValueLength, limit);
    }
    const uint64_t budget =
        length > kPyrShortValueLength ? kPyrHeldValueLimit - kPyrShortValueReserve : kPyrHeldValueLimit;
    if (heldBytes_ + length > budget) {
        // No real dataset comes near: forged lengths would have a few bytes of a sparse file
        // claim gigabytes, one value or many. The value stays where it is, on record.
        PyrWriteLog("PyrDicomDataset::ReadValue", kPyrLogWarning, kPyrBadPosition,
                    u"A value past the memory for values was left in the source.");
        partLeftOut_ = true;
        return SkipValue(element, limit);
    }
    heldBytes_ += length;
    if (length > kCheckedReadSize) {
        if (const PyrDicomResult r = SkipForward(length, limit); r != kPyrSuccess) {
            return r;
        }
        if (const PyrDicomResult r = Seek(-static_cast<int64_t>(length)); r != kPyrSuccess) {
            return r;
        }
    }
    if (const PyrDicomResult r = element->AllocateValue(length, false); r != kPyrSuccess) {
        return r;
    }
    element->valuePosition_ = static_cast<int64_t>(position_);
    if (const PyrDicomResult r = ReadBytes(element->MutableValue(), length); r != kPyrSuccess) {
        return r;
    }
    if (encoding == kPyrExplicitBig) {
        SwapItems(element->MutableValue(), length, SwapSize(element->GetVR()));
    }
    return kPyrSuccess;
}

bool PyrDicomDataset::SniffExplicitVR()
{
    uint8_t b[8];
    uint8_t end = 0;
    if (read_(b, Low(position_), High(position_), 8, userData_, &end) != 0) {
        return false;
    }
    position_ += 8;
    if (Seek(-8) != kPyrSuccess) {
        return false;
    }
    const PyrDicomVR vr = b[4] | (uint32_t(b[5]) << 8);
    if (b[6] != 0 || b[7] != 0) {
        return IsShortLengthVR(vr);
    }
    return vr == PyrVR::OB || vr == PyrVR::OW || vr == PyrVR::OF || vr == PyrVR::SQ || vr == PyrVR::UT ||
           vr == PyrVR::UN;
}

// ---- reading -------------------------------------------------------------------------

PyrDicomResult PyrDicomDataset::ReadFromCallbacks(PyrDicomReadCallback read, PyrDicomSeekCallback seek, void* userData,
                                                  bool preamble, const PyrString& transferSyntax, uint32_t flag)
{
    readResult_ = PyrNoThrow([&] { return Read(read, seek, userData, preamble, transferSyntax, flag); });
    return readResult_;
}

PyrDicomResult PyrDicomDataset::Read(PyrDicomReadCallback read, PyrDicomSeekCallback seek, void* userData,
                                     bool preamble, const PyrString& transferSyntax, uint32_t flag)
{
    Reset();
    if (read == nullptr || seek == nullptr || root_ == nullptr) {
        return read == nullptr || seek == nullptr ? kPyrBadArgument : kPyrOutOfMemory;
    }
    read_ = read;
    seek_ = seek;
    userData_ = userData;
    flag_ = flag;
    givenTransferSyntax_ = transferSyntax;
    if (givenTransferSyntax_.GetLength() != transferSyntax.GetLength()) {
        return kPyrOutOfMemory;
    }

    PyrDicomResult r =
        preamble ? CheckPreambleAndRead()
                 : ReadElements(root_, TransferSyntaxToEncoding(transferSyntax), false, 0, kPyrUndefinedLength);
    if (r != kPyrSuccess) {
        return r;
    }
    r = FixPixelDataVR(root_);
    // A sequence nested too deep or a value too long to hold was left out: the tree is whole
    // but for it.
    return r == kPyrSuccess && partLeftOut_ ? kPyrBadPosition : r;
}

PyrDicomResult PyrDicomDataset::CheckPreambleAndRead()
{
    uint8_t head[kPreambleSize];
    uint8_t end = 0;
    if (read_(head, 0, 0, kPreambleSize, userData_, &end) != 0) {
        // Shorter than a preamble: a raw dataset. The failed read may have taken some bytes;
        // stepping back a whole preamble lands on the start, where the storages stop.
        seek_(0, 0, -static_cast<int32_t>(kPreambleSize), userData_);
        position_ = 0;
        return ReadElements(root_, kPyrImplicitLittle, false, 0, kPyrUndefinedLength);
    }
    position_ = kPreambleSize;
    if (std::memcmp(head + 128, "DICM", 4) == 0) {
        return ReadElements(root_, kPyrExplicitLittle, true, 0, kPyrUndefinedLength);
    }
    if (const PyrDicomResult r = Seek(-static_cast<int64_t>(kPreambleSize)); r != kPyrSuccess) {
        return r;
    }
    return ReadElements(root_, kPyrImplicitLittle, false, 0, kPyrUndefinedLength);
}

PyrDicomResult PyrDicomDataset::ReadElements(PyrDicomDataElement* parent, PyrDicomEncoding encoding, bool meta,
                                             uint32_t depth, uint32_t length)
{
    if (parent == nullptr || read_ == nullptr || seek_ == nullptr) {
        return kPyrBadArgument;
    }
    return PyrNoThrow([&] { return ReadElementsWithin(parent, encoding, meta, depth, length, kNoLimit); });
}

PyrDicomResult PyrDicomDataset::ReadItems(PyrDicomDataElement* sequence, PyrDicomVR vrAsRead, uint32_t length,
                                          uint32_t depth, PyrDicomEncoding encoding)
{
    if (sequence == nullptr || read_ == nullptr || seek_ == nullptr) {
        return kPyrBadArgument;
    }
    return PyrNoThrow([&] { return ReadItemsWithin(sequence, vrAsRead, length, depth, encoding, kNoLimit); });
}

PyrDicomResult PyrDicomDataset::ReadElementsWithin(PyrDicomDataElement* parent, PyrDicomEncoding encoding, bool meta,
                                                   uint32_t depth, uint32_t length, uint64_t limit)
{
    const bool bounded = depth >= 1 && length != kPyrUndefinedLength;
    // An item reaching past what holds it is cut there: its complete elements stay.
    const bool cut = bounded && length > limit - position_;
    const uint64_t end = bounded && !cut ? position_ + length : limit;
    bool metaMode = meta;
    bool realElementRead = false;

    for (;;) {
        if (PyrDicomResult r = kPyrSuccess; ElementsEnd(bounded, cut, end, depth, r)) {
            return r;
        }
        uint8_t head[8];
        if (const PyrDicomResult r = ReadBytes(head, 8); r != kPyrSuccess) {
            return r;
        }
        const int64_t elementPosition = static_cast<int64_t>(position_) - 8;
        PyrDicomEncoding current =
            metaMode ? kPyrExplicitLittle : (depth == 0 && transferSyntaxRead_ ? transferSyntaxEncoding_ : encoding);
        uint32_t group = Word16(head, current);
        if (metaMode && group != kMetaGroup) {
            metaMode = false;
            current = transferSyntaxRead_ ? transferSyntaxEncoding_ : encoding;
            group = Word16(head, current);
        }
        const uint32_t number = Word16(head + 2, current);

        if (group == kItemGroup && (number == kItem || number == kItemEnd || number == kSequenceEnd)) {
            if (number == kItemEnd && depth >= 1) {
                return cut ? kPyrBadPosition : kPyrSuccess;   // its length was read with the tag
            }
            return kPyrBadPosition;   // an item or delimiter where an element belongs
        }
        if (group == 0 && number == 0 && depth >= 1 && parent->GetChildCount() != 0) {
            return kPyrBadPosition;   // zeros after real elements: the data ends here
        }
        if (depth == 0 && ZerosEndData(head, elementPosition, realElementRead)) {
            return kPyrBadPosition;
        }
        const bool pixelData = depth == 0 && group == kPixelGroup && number == kPixelElement;
        if (pixelData) {
            pixelDataStart_ = elementPosition;
            pixelFragments_.Clear();
            fragmentsCut_ = false;
        }

        PendingElement pending(CreateElement());
        PyrDicomDataElement* e = pending.element;
        if (e == nullptr) {
            return kPyrOutOfMemory;
        }
        e->group_ = group;
        e->element_ = number;
        e->position_ = elementPosition;

        PyrDicomVR vrAsRead = PyrVR::Unset;
        if (const PyrDicomResult r = ReadVRAndLength(e, head, current, end, vrAsRead); r != kPyrSuccess) {
            return r;
        }
        const uint32_t valueLength = e->length_;
        if (depth == 1 && options_.itemTags != nullptr && valueLength != kPyrUndefinedLength &&
            !std::binary_search(options_.itemTags, options_.itemTags + options_.itemTagCount, group << 16 | number)) {
            if (const PyrDicomResult r = SkipForward(valueLength, end); r != kPyrSuccess) {
                return r;
            }
            continue;
        }

        if (valueLength == kPyrUndefinedLength || e->vr_ == PyrVR::SQ) {
            bool leftOut = false;
            if (const PyrDicomResult r = ReadSequenceOf(parent, e, vrAsRead, depth, current, end, leftOut);
                r != kPyrSuccess) {
                if (e->GetParent() == parent) {
                    pending.Release();   // kept with its complete items
                }
                return r;
            }
            if (leftOut) {
                continue;
            }
        } else if (const PyrDicomResult r = ReadValueOf(e, pixelData, depth, current, end); r != kPyrSuccess) {
            return r;
        }

        if (const PyrDicomResult r = parent->SetChildElement(e); r != kPyrSuccess) {
            return r;
        }
        pending.Release();
        if (pixelData) {
            pixelDataSize_ = static_cast<int64_t>(position_) - pixelDataStart_;
        }
        if (metaMode && metaLengthKnown_ && position_ >= metaEnd_) {
            metaMode = false;
        }
    }
}

// True when no element can follow, with what the read of the elements then returns.
PYR_HOT bool PyrDicomDataset::ElementsEnd(bool bounded, bool cut, uint64_t end, uint32_t depth, PyrDicomResult& result)
{
    if (bounded && position_ >= end) {
        result = cut ? kPyrBadPosition : kPyrSuccess;
        return true;
    }
    if (depth == 0) {
        // Only the top level may end with the data; an item that runs out fails on its next
        // read, which costs nothing while the data is whole.
        bool atEnd = false;
        result = ProbeEnd(atEnd);
        if (result != kPyrSuccess || atEnd) {
            return true;
        }
    }
    result = kPyrBadPosition;
    return end - position_ < 8;
}

// Writers pad files with zeros: after real elements, or past where a preamble without its
// marker would end, they are no elements and the data ends there.
PYR_HOT bool PyrDicomDataset::ZerosEndData(const uint8_t (&head)[8], int64_t elementPosition, bool& realElementRead)
{
    if (!AllZero(head)) {
        realElementRead = true;
        return false;
    }
    return realElementRead || elementPosition >= static_cast<int64_t>(kPreambleSize - 4);
}

PYR_HOT PyrDicomResult PyrDicomDataset::ReadVRAndLength(PyrDicomDataElement* e, const uint8_t (&head)[8],
                                                        PyrDicomEncoding encoding, uint64_t end, PyrDicomVR& vrAsRead)
{
    if (encoding == kPyrImplicitLittle) {
        e->length_ = Word32(head + 4, encoding);
        e->vr_ = PyrDicomDictionary::GetVR(&localDictionary_, e->group_, e->element_);
        vrAsRead = e->vr_;
        return kPyrSuccess;
    }
    vrAsRead = head[4] | (uint32_t(head[5]) << 8);
    if (IsShortLengthVR(vrAsRead)) {
        e->length_ = Word16(head + 6, encoding);
    } else {
        if (end - position_ < 4) {
            return kPyrBadPosition;
        }
        uint8_t word[4];
        if (const PyrDicomResult r = ReadBytes(word, 4); r != kPyrSuccess) {
            return r;
        }
        e->length_ = Word32(word, encoding);
    }
    e->vr_ = vrAsRead == PyrVR::UN ? PyrDicomDictionary::GetVR(&localDictionary_, e->group_, e->element_) : vrAsRead;
    return kPyrSuccess;
}

// A sequence's items, or its skip when it is left out (leftOut; the reader goes on after it).
// A read cut inside it keeps the sequence under parent with its complete items.
PyrDicomResult PyrDicomDataset::ReadSequenceOf(PyrDicomDataElement* parent, PyrDicomDataElement* e, PyrDicomVR vrAsRead,
                                               uint32_t depth, PyrDicomEncoding encoding, uint64_t end, bool& leftOut)
{
    const uint32_t valueLength = e->length_;
    if (options_.skipPrivateSequences != 0 && (e->group_ & 1) != 0 && e->vr_ == PyrVR::SQ &&
        valueLength != kPyrUndefinedLength) {
        leftOut = true;
        return SkipForward(valueLength, end);
    }
    if (depth > kMaxDepth) {
        if (valueLength == kPyrUndefinedLength) {
            return kPyrBadPosition;   // no way past it: the read ends here
        }
        // Too deep to keep, but its length leads past it to the rest of the data.
        if (const PyrDicomResult r = SkipForward(valueLength, end); r != kPyrSuccess) {
            return r;
        }
        PyrWriteLog("PyrDicomDataset::ReadElements", kPyrLogWarning, kPyrBadPosition,
                    u"A sequence nested too deep was skipped.");
        partLeftOut_ = true;
        leftOut = true;
        return kPyrSuccess;
    }
    // Room beside its siblings first: a sequence memory runs out in is then kept with its
    // complete items without asking for more.
    if (const PyrDicomResult r = parent->MakeRoomInGroup(e->group_); r != kPyrSuccess) {
        return r;
    }
    const PyrDicomResult r = ReadItemsWithin(e, vrAsRead, valueLength, depth, encoding, end);
    // Data cut short (as faulty disc burners leave it), or memory refused part way, keeps the
    // complete items of the sequence; the read still fails, so the caller knows. Cut pixel data
    // stays out: its fragments would promise frames that are not there. Pixel data whose list
    // reached its bound stays, so that its reader sees the frame it crowds.
    const bool pixelData = depth == 0 && e->group_ == kPixelGroup && e->element_ == kPixelElement;
    if (r != kPyrSuccess && (!pixelData || fragmentsCut_) && e->GetChildCount() != 0) {
        parent->SetChildElement(e);
    }
    if (r != kPyrSuccess && pixelData && !fragmentsCut_) {
        pixelFragments_.Clear();
    }
    if (r != kPyrSuccess && pixelData && fragmentsCut_) {
        pixelDataSize_ = static_cast<int64_t>(position_) - pixelDataStart_;
    }
    return r;
}

PYR_HOT PyrDicomResult PyrDicomDataset::ReadValueOf(PyrDicomDataElement* e, bool pixelData, uint32_t depth,
                                                    PyrDicomEncoding encoding, uint64_t end)
{
    // Pixel data stays in the source whatever its length, so the pixel reader finds it.
    const PyrDicomResult r = pixelData && e->length_ != 0 ? SkipValue(e, end) : ReadValue(e, encoding, end);
    if (r != kPyrSuccess || e->group_ != kMetaGroup || depth != 0) {
        return r;
    }
    if (e->element_ == 0x0000) {
        uint32_t metaLength = 0;
        if (e->GetULong(metaLength, PyrVR::UL, 0) == kPyrSuccess) {
            metaLengthKnown_ = true;
            metaEnd_ = position_ + metaLength;
        }
    } else if (e->element_ == 0x0010) {
        if (e->GetStringValue(transferSyntax_, PyrVR::UI, -1) == kPyrOutOfMemory) {
            return kPyrOutOfMemory;   // read on in the wrong encoding, it would only mislead
        }
        transferSyntaxEncoding_ = TransferSyntaxToEncoding(transferSyntax_);
        transferSyntaxRead_ = true;
    }
    return kPyrSuccess;
}

// A fragment's length on the list, its value left in the source. A cut one is not listed.
PyrDicomResult PyrDicomDataset::AddFragment(uint32_t length, uint64_t limit)
{
    const int64_t item = static_cast<int64_t>(position_) - 8;
    if (const PyrDicomResult r = SkipForward(length, limit); r != kPyrSuccess) {
        return r;
    }
    if (pixelFragments_.Empty()) {
        pixelFragments_.first_ = item;
    }
    try {
        pixelFragments_.lengths_.push_back(length);
    } catch (const std::bad_alloc&) {
        return kPyrOutOfMemory;
    } catch (const std::length_error&) {
        return kPyrOutOfMemory;
    }
    return kPyrSuccess;
}

uint64_t PyrDicomDataset::FragmentLimit() const
{
    if (options_.fragmentsPerFrame == 0) {
        return UINT64_MAX;
    }
    const int32_t frames = root_ != nullptr ? GetLong(0x0028, 0x0008, 1) : 1;
    return uint64_t(options_.fragmentsPerFrame) * uint64_t(std::max(frames, 1)) + 1;
}

PyrDicomResult PyrDicomDataset::ReadItemsWithin(PyrDicomDataElement* sequence, PyrDicomVR vrAsRead, uint32_t length,
                                                uint32_t depth, PyrDicomEncoding encoding, uint64_t limit)
{
    PyrDicomEncoding itemEncoding = encoding;
    bool sniff = false;
    if (encoding != kPyrImplicitLittle && vrAsRead == PyrVR::UN) {
        unSequenceRead_ = true;
        switch (options_.unSequenceItemEncoding) {
        case 1: itemEncoding = kPyrImplicitLittle; break;
        case 2: break;
        default: sniff = true; break;
        }
    }
    const bool bounded = length != kPyrUndefinedLength;
    // A sequence reaching past what holds it is cut there: its complete items stay.
    const bool cut = bounded && length > limit - position_;
    const uint64_t end = bounded && !cut ? position_ + length : limit;
    const bool pixelData = sequence->GetGroup() == kPixelGroup && sequence->GetElement() == kPixelElement;
    const bool fragments = pixelData && depth == 0;
    // Read once, before the items: the frames claimed are elements before the Pixel Data.
    const uint64_t fragmentLimit = fragments ? FragmentLimit() : UINT64_MAX;
    uint32_t index = 0;

    for (;; ++index) {
        if (bounded && position_ >= end) {
            return cut ? kPyrBadPosition : kPyrSuccess;
        }
        if (end - position_ < 8) {
            return kPyrBadPosition;
        }
        uint8_t head[8];
        if (const PyrDicomResult r = ReadBytes(head, 8); r != kPyrSuccess) {
            return r;
        }
        const uint32_t group = Word16(head, itemEncoding);
        const uint32_t number = Word16(head + 2, itemEncoding);
        const uint32_t itemLength = Word32(head + 4, itemEncoding);
        if (group == kItemGroup && number == kSequenceEnd) {
            return cut ? kPyrBadPosition : kPyrSuccess;
        }
        if (group == 0 && number == 0 && index != 0) {
            return kPyrBadPosition;   // zeros after real items: the data ends here
        }
        if (fragments && index > 0 && group == kItemGroup && number == kItem && pixelFragments_.Size() + 1 == index) {
            // No frame reads more than its share: the rest is left out, at no cost an item.
            if (pixelFragments_.Size() >= fragmentLimit) {
                fragmentsCut_ = true;
                partLeftOut_ = true;
                return kPyrBadPosition;
            }
            if (const PyrDicomResult r = AddFragment(itemLength, end); r != kPyrSuccess) {
                return r;
            }
            continue;
        }

        PendingElement pending(CreateElement());
        PyrDicomDataElement* item = pending.element;
        if (item == nullptr) {
            return kPyrOutOfMemory;
        }
        item->group_ = group;
        item->element_ = number;
        item->position_ = static_cast<int64_t>(position_) - 8;
        item->length_ = itemLength;

        PyrDicomResult r;
        if (pixelData) {
            // Fragments carry their length; only the offset table is loaded.
            r = fragments && index > 0 ? SkipValue(item, end) : ReadValue(item, itemEncoding, end);
        } else {
            if (sniff && index == 0 && itemLength != 0) {
                // Item headers read the same either way; the first element tells the encoding.
                itemEncoding = SniffExplicitVR() ? encoding : kPyrImplicitLittle;
            }
            r = ReadElementsWithin(item, itemEncoding, false, depth + 1, itemLength, end);
        }
        if (r != kPyrSuccess) {
            // A cut item keeps its complete elements; a cut fragment is dropped.
            if (!pixelData && r != kPyrOutOfMemory && item->GetChildCount() != 0 &&
                sequence->AddChildElement(item) == kPyrSuccess) {
                pending.Release();
            }
            return r;
        }
        if (const PyrDicomResult added = sequence->AddChildElement(item); added != kPyrSuccess) {
            return added;
        }
        pending.Release();
    }
}

// ---- pixel data VR -------------------------------------------------------------------

PyrDicomResult PyrDicomDataset::FixPixelDataVR(PyrDicomDataElement* element)
{
    if (element == nullptr || root_ == nullptr) {
        return kPyrBadArgument;
    }
    PyrString stored;
    if (root_->GetChildString(kMetaGroup, 0x0010, stored, PyrVR::UI, -1) == kPyrOutOfMemory) {
        return kPyrOutOfMemory;
    }
    std::u16string_view syntax = stored.View();
    if (syntax.empty()) {
        syntax = givenTransferSyntax_.IsEmpty() ? std::u16string_view(kImplicitLittleUid) : givenTransferSyntax_.View();
    }
    return FixPixelDataVRAt(element, syntax);
}

PyrDicomResult PyrDicomDataset::FixPixelDataVRAt(PyrDicomDataElement* element, std::u16string_view syntax)
{
    PyrDicomDataElement* pixel = element->FindChild(kPixelGroup, kPixelElement);
    if (pixel != nullptr) {
        const bool lossless = syntax == kJpegLosslessUid;
        if (syntax == kImplicitLittleUid) {
            pixel->vr_ = PyrVR::OW;
        } else if (syntax == kExplicitLittleUid || syntax == kExplicitBigUid ||
                   (lossless && pixel->GetChildCount() == 0)) {
            if (const PyrDicomDataElement* bits = element->FindChild(0x0028, 0x0100)) {
                uint32_t bitsAllocated = 0;
                if (const PyrDicomResult r = bits->GetULong(bitsAllocated); r != kPyrSuccess) {
                    return r;
                }
                pixel->vr_ = bitsAllocated > 8 ? PyrVR::OW : PyrVR::OB;
            }
        } else if (lossless) {
            pixel->vr_ = PyrVR::OB;
        }
    }
    for (const auto& [group, children] : element->Groups()) {
        for (PyrDicomDataElement* child : children.items) {
            if (child == pixel || child->GetChildCount() == 0) {
                continue;
            }
            if (const PyrDicomResult r = FixPixelDataVRAt(child, syntax); r != kPyrSuccess) {
                return r;
            }
        }
    }
    return kPyrSuccess;
}
