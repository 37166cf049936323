#pragma once

#include <cstdint>
#include <map>
#include <memory_resource>
#include <new>
#include <vector>

#include "pyr/pyrdicomdictionary.h"
#include "pyr/pyrresult.h"
#include "pyr/pyrstring.h"

class PyrDicomDataset;
class PyrDicomDataElement;

namespace PyrVR {
constexpr PyrDicomVR AE = PyrMakeVR('A', 'E');
constexpr PyrDicomVR AS = PyrMakeVR('A', 'S');
constexpr PyrDicomVR AT = PyrMakeVR('A', 'T');
constexpr PyrDicomVR CS = PyrMakeVR('C', 'S');
constexpr PyrDicomVR DA = PyrMakeVR('D', 'A');
constexpr PyrDicomVR DS = PyrMakeVR('D', 'S');
constexpr PyrDicomVR DT = PyrMakeVR('D', 'T');
constexpr PyrDicomVR FL = PyrMakeVR('F', 'L');
constexpr PyrDicomVR FD = PyrMakeVR('F', 'D');
constexpr PyrDicomVR IS = PyrMakeVR('I', 'S');
constexpr PyrDicomVR LO = PyrMakeVR('L', 'O');
constexpr PyrDicomVR LT = PyrMakeVR('L', 'T');
constexpr PyrDicomVR OB = PyrMakeVR('O', 'B');
constexpr PyrDicomVR OF = PyrMakeVR('O', 'F');
constexpr PyrDicomVR OW = PyrMakeVR('O', 'W');
constexpr PyrDicomVR PN = PyrMakeVR('P', 'N');
constexpr PyrDicomVR SH = PyrMakeVR('S', 'H');
constexpr PyrDicomVR SL = PyrMakeVR('S', 'L');
constexpr PyrDicomVR SQ = PyrMakeVR('S', 'Q');
constexpr PyrDicomVR SS = PyrMakeVR('S', 'S');
constexpr PyrDicomVR ST = PyrMakeVR('S', 'T');
constexpr PyrDicomVR TM = PyrMakeVR('T', 'M');
constexpr PyrDicomVR UI = PyrMakeVR('U', 'I');
constexpr PyrDicomVR UL = PyrMakeVR('U', 'L');
constexpr PyrDicomVR UN = PyrMakeVR('U', 'N');
constexpr PyrDicomVR US = PyrMakeVR('U', 'S');
constexpr PyrDicomVR UT = PyrMakeVR('U', 'T');
constexpr PyrDicomVR Unset = kPyrVRUnset;

bool IsPlainText(PyrDicomVR vr);       // AE AS CS DA DS DT IS TM UI: ASCII bytes
bool IsCharsetText(PyrDicomVR vr);     // LO LT PN SH ST UT: Specific Character Set applies
bool IsOpaque(PyrDicomVR vr);          // OB OF OW SQ UN
uint32_t NumericSize(PyrDicomVR vr);   // bytes per item of AT FL FD SL SS UL US, else 0
}   // namespace PyrVR

constexpr uint32_t kPyrUndefinedLength = 0xFFFFFFFFu;

// Notified when an external allocator moves a value.
class PyrIRelocationEvent {
public:
    virtual ~PyrIRelocationEvent() = default;
    virtual void* Relocated() = 0;
};

// A caller's allocator for large values. The handle holds the value's current address.
class PyrIValueAllocator {
public:
    virtual ~PyrIValueAllocator() = default;
    virtual bool Allocate(void** handle, PyrIRelocationEvent* sink, uint32_t size) = 0;
    virtual void Free(void* handle) = 0;
    virtual void Resolve(void** handle) = 0;
};

// Points an element at its value again after the allocator moved it.
class pyr_dicom_lib_element_relocation_esink : public PyrIRelocationEvent {
public:
    explicit pyr_dicom_lib_element_relocation_esink(PyrDicomDataElement* element) : element_(element) {}
    void* Relocated() override;

private:
    PyrDicomDataElement* element_;
};

enum class PyrValueMode : uint8_t {
    Inline = 0,
    Heap = 1,
    External = 2,   // from the dataset's value allocator
    Mapped = 3,     // a mapped view of a file; nothing in the library makes one
    InSource = 4,   // left in the stream; only its position and length are kept
};

// One node of a parsed DICOM object: a tag, a VR and either value bytes or children.
// Elements are made by their dataset, which frees every element it made.
class PyrDicomDataElement {
public:
    // resource: where the children's lists live; a dataset passes its arena.
    explicit PyrDicomDataElement(PyrDicomDataset* dataset,
                                 std::pmr::memory_resource* resource = std::pmr::new_delete_resource());
    ~PyrDicomDataElement();
    // An element its dataset placed in its arena is only destroyed here; the arena goes
    // with the dataset.
    static void operator delete(PyrDicomDataElement* element, std::destroying_delete_t);
    PyrDicomDataElement(const PyrDicomDataElement&) = delete;
    PyrDicomDataElement& operator=(const PyrDicomDataElement&) = delete;

    PyrDicomDataset* GetDataset() const { return dataset_; }
    PyrDicomDataElement* GetParent() const { return parent_; }
    uint32_t GetGroup() const { return group_; }
    uint32_t GetElement() const { return element_; }
    PyrDicomVR GetVR() const { return vr_; }
    int64_t GetPosition() const { return position_; }
    const uint8_t* GetValue() const { return value_; }
    uint32_t GetLength() const { return length_; }
    uint32_t GetBytesHeld() const { return bytesHeld_; }
    // Only the first bytes of the value are held; the rest stayed in the file.
    bool HeldCut() const { return length_ != kPyrUndefinedLength && bytesHeld_ < length_; }
    int64_t GetValuePosition() const { return valuePosition_; }
    PyrValueMode GetValueMode() const { return mode_; }
    const PyrString& GetSourcePath() const { return sourcePath_; }

    // Moves the element to the group, keeping it under its parent.
    PyrDicomResult SetGroup(uint32_t group);
    void SetElement(uint32_t element) { element_ = element; }
    void SetVR(PyrDicomVR vr) { vr_ = vr; }
    void SetPosition(int64_t position) { position_ = position; }
    void SetLength(uint32_t length) { length_ = length; }

    // Children: ascending group, then ascending element (SetChildElement) or arrival order
    // (AddChildElement, which allows repeated tags such as sequence items).
    uint32_t GetChildCount() const { return childCount_; }
    PyrDicomDataElement* GetChildAt(uint32_t index) const;
    PyrDicomDataElement* FindChild(uint32_t group, uint32_t element) const;
    PyrDicomResult SetChildElement(PyrDicomDataElement* child);
    PyrDicomResult AddChildElement(PyrDicomDataElement* child);
    PyrDicomResult SetChildString(uint32_t group, uint32_t element, const PyrString& text, PyrDicomVR vr = PyrVR::Unset,
                                  int32_t index = -1);

    // Typed getters. A negative index means the first value for numbers, the whole value for text.
    // Text in a character set may come with kPyrUndesignatedText: a warning, the text is given.
    PyrDicomResult GetULong(uint32_t& value, PyrDicomVR vr = PyrVR::Unset, int32_t index = 0) const;
    PyrDicomResult GetLong(int32_t& value, PyrDicomVR vr = PyrVR::Unset, int32_t index = 0) const;
    PyrDicomResult GetDouble(double& value, PyrDicomVR vr = PyrVR::Unset, int32_t index = 0) const;
    // limit: of a long value only its first limit bytes are read (a number array: the values
    // that text of that length holds); the rest stays unread.
    PyrDicomResult GetStringValue(PyrString& value, PyrDicomVR vr = PyrVR::Unset, int32_t index = -1,
                                  uint32_t limit = UINT32_MAX) const;

    uint32_t GetULongOr(uint32_t fallback, PyrDicomVR vr = PyrVR::Unset, int32_t index = 0) const;
    int32_t GetLongOr(int32_t fallback, PyrDicomVR vr = PyrVR::Unset, int32_t index = 0) const;
    double GetDoubleOr(double fallback, PyrDicomVR vr = PyrVR::Unset, int32_t index = 0) const;
    PyrString GetStringValueOr(const PyrString& fallback, PyrDicomVR vr = PyrVR::Unset, int32_t index = -1) const;

    PyrDicomResult GetChildULong(uint32_t group, uint32_t element, uint32_t& value, PyrDicomVR vr = PyrVR::Unset,
                                 int32_t index = 0) const;
    PyrDicomResult GetChildLong(uint32_t group, uint32_t element, int32_t& value, PyrDicomVR vr = PyrVR::Unset,
                                int32_t index = 0) const;
    PyrDicomResult GetChildDouble(uint32_t group, uint32_t element, double& value, PyrDicomVR vr = PyrVR::Unset,
                                  int32_t index = 0) const;
    PyrDicomResult GetChildString(uint32_t group, uint32_t element, PyrString& value, PyrDicomVR vr = PyrVR::Unset,
                                  int32_t index = -1, uint32_t limit = UINT32_MAX) const;
    uint32_t GetChildULongOr(uint32_t group, uint32_t element, uint32_t fallback, PyrDicomVR vr = PyrVR::Unset,
                             int32_t index = 0) const;
    int32_t GetChildLongOr(uint32_t group, uint32_t element, int32_t fallback, PyrDicomVR vr = PyrVR::Unset,
                           int32_t index = 0) const;
    double GetChildDoubleOr(uint32_t group, uint32_t element, double fallback, PyrDicomVR vr = PyrVR::Unset,
                            int32_t index = 0) const;
    PyrString GetChildStringOr(uint32_t group, uint32_t element, const PyrString& fallback,
                               PyrDicomVR vr = PyrVR::Unset, int32_t index = -1) const;

    // A short value such as a code string or a UID, read from its padding and at most
    // maxBytes + 1 more of its bytes: the whole value as GetStringValue gives it when it is
    // at most maxBytes long once its padding is skipped, and text longer than maxBytes,
    // which equals no term of that length, when it is longer.
    PyrDicomResult GetShortString(PyrString& value, uint32_t maxBytes, PyrDicomVR vr = PyrVR::Unset) const;
    PyrDicomResult GetChildShortString(uint32_t group, uint32_t element, PyrString& value, uint32_t maxBytes,
                                       PyrDicomVR vr = PyrVR::Unset) const;

    uint32_t GetMultiplicity(PyrDicomVR vr = PyrVR::Unset) const;
    uint32_t GetChildMultiplicity(uint32_t group, uint32_t element, PyrDicomVR vr = PyrVR::Unset) const;

    // Setters. A VR other than Unset becomes the element's VR; index -1 replaces the whole value.
    PyrDicomResult SetULong(uint32_t value, PyrDicomVR vr = PyrVR::Unset, int32_t index = -1);
    PyrDicomResult SetLong(int32_t value, PyrDicomVR vr = PyrVR::Unset, int32_t index = -1);
    PyrDicomResult SetDouble(double value, PyrDicomVR vr = PyrVR::Unset, int32_t index = -1);
    PyrDicomResult SetString(const PyrString& text, PyrDicomVR vr = PyrVR::Unset, int32_t index = -1);

    // Releases the old value and the children, then makes room for `length` bytes (zeroed).
    // With `pad`, an odd length grows by one unless the dataset keeps odd lengths.
    PyrDicomResult AllocateValue(uint32_t length, bool pad);
    // The value stays in the source: only where it is and how long it is are kept.
    PyrDicomResult SetValueLocation(const PyrString& path, int64_t position, uint32_t length);
    PyrDicomResult Clear();
    PyrDicomResult Reset();
    PyrDicomResult Unmap();

    // Writable view of the value bytes, for the reader.
    uint8_t* MutableValue() { return value_; }

private:
    friend class pyr_dicom_lib_element_relocation_esink;
    friend class PyrDicomDataset;
    friend class PyrDicomValueReader;

    using ChildList = std::pmr::vector<PyrDicomDataElement*>;
    struct GroupChildren {
        using allocator_type = ChildList::allocator_type;
        explicit GroupChildren(const allocator_type& allocator) : items(allocator) {}
        GroupChildren(const GroupChildren& other, const allocator_type& allocator)
            : items(other.items, allocator), ordered(other.ordered)
        {
        }
        GroupChildren(GroupChildren&& other, const allocator_type& allocator)
            : items(std::move(other.items), allocator), ordered(other.ordered)
        {
        }
        ChildList items;
        bool ordered = true;   // element numbers non-decreasing, so lookups may halve
    };

    using GroupMap = std::pmr::map<uint32_t, GroupChildren>;
    // A value from the dataset's value allocator: its handle and where its moves are told.
    struct ExternalValue {
        void* handle;
        PyrIValueAllocator* allocator;
        pyr_dicom_lib_element_relocation_esink sink;
    };

    // The children by group; an empty map when there are none yet.
    const GroupMap& Groups() const;
    PyrDicomVR ResolveVR(PyrDicomVR vr) const;
    PyrDicomVR StoreVR(PyrDicomVR vr);
    PyrDicomResult CheckNewChild(PyrDicomDataElement* child, const char* function) const;
    GroupChildren* MakeRoomFor(uint32_t group);
    // Room for one more child in a group the element has already; nothing for another group.
    PyrDicomResult MakeRoomInGroup(uint32_t group);
    static size_t FirstNotBelow(const ChildList& items, uint32_t number);
    // Lets go of what the element holds outside its dataset's arena, as the dataset goes.
    void ReleaseOutsideArena();
    // Leaves its parent; the parent drops the group it emptied, unless it is `keep`.
    void Detach(const GroupChildren* keep = nullptr);
    void DestroyChildren();
    void ReleaseValue();
    PyrDicomResult FindSpecificCharacterSet(PyrString& text, bool fromRootWhenDetached) const;
    PyrDicomResult GetStringValueOf(PyrString& value, PyrDicomVR vr, int32_t index, uint32_t limit) const;
    PyrDicomResult SetStringOf(const PyrString& text, PyrDicomVR vr, int32_t index);
    PyrDicomResult SetNumberText(const PyrString& text, PyrDicomVR vr, int32_t index);
    PyrDicomResult GetPlainText(PyrString& value, PyrDicomVR vr, int32_t index, uint32_t limit) const;
    PyrDicomResult GetCharsetText(PyrString& value, PyrDicomVR vr, int32_t index, uint32_t limit) const;
    PyrDicomResult GetNumericText(PyrString& value, PyrDicomVR vr, int32_t index, uint32_t limit) const;
    PyrDicomResult StoreNumber(const void* bytes, uint32_t size, int32_t index);
    PyrDicomResult StoreText(const PyrString& text, PyrDicomVR vr, int32_t index);
    bool ReadItem(void* out, uint32_t size, int32_t index) const;
    // The typed getters: IS (and DS for floats) as text, AT as two words, binary VRs by value.
    template <class A>
    PyrDicomResult GetNumber(A& value, PyrDicomVR vr, int32_t index, bool floats) const;

    // Ordered so that no padding falls between members: a large file holds millions.
    PyrDicomDataset* dataset_;
    PyrDicomDataElement* registryPrev_ = nullptr;
    PyrDicomDataElement* registryNext_ = nullptr;
    PyrDicomDataElement* parent_ = nullptr;
    uint32_t group_ = 0;
    uint32_t element_ = 0;
    PyrDicomVR vr_ = PyrVR::Unset;
    uint32_t childCount_ = 0;
    int64_t position_ = -1;
    uint32_t length_ = 0;
    uint32_t bytesHeld_ = 0;
    uint8_t* value_;
    alignas(4) uint8_t inline_[4] = {0, 0, 0, 0};
    PyrValueMode mode_ = PyrValueMode::Inline;
    bool inArena_ = false;        // placed in the dataset's arena
    bool valueInArena_ = false;   // a heap-mode value taken from that arena
    // Only while the value comes from the dataset's value allocator.
    ExternalValue* external_ = nullptr;
    // Made with the first child, from resource_: most elements hold a value and no
    // children, and an empty map inside each made a large directory's tree a fifth larger.
    std::pmr::memory_resource* resource_;
    GroupMap* children_ = nullptr;
    PyrString sourcePath_;
    int64_t valuePosition_ = 0;
};

// Reads the values of one element in order, each from where the one before it ended, so that
// a list of them costs one pass over its bytes, and values after the last one asked for stay
// unread. A value reads as the element's getter of its index reads it (numbers written as
// text from at most their VR's longest value, nothing of the value's size allocated); the
// values are those GetMultiplicity counts by the element's own VR. The element must stay
// unchanged while the reader is in use.
class PyrDicomValueReader {
public:
    explicit PyrDicomValueReader(const PyrDicomDataElement& element, PyrDicomVR vr = PyrVR::Unset);

    // No value is left: past the last one, or the element holds none.
    bool AtEnd();
    // Values passed so far, those that did not read included.
    uint32_t GetIndex() const { return index_; }
    // The next value; kPyrNoValue past the end or when it does not read as one asked for.
    // Either way the reader moves on to the value after it.
    PyrDicomResult NextULong(uint32_t& value);
    PyrDicomResult NextLong(int32_t& value);
    PyrDicomResult NextDouble(double& value);
    PyrDicomResult NextString(PyrString& value);

private:
    enum class Mode : uint8_t {
        Text,      // plain text: values split at backslashes among the bytes
        Split,     // character-set text of several values: converted once, then split
        Whole,     // character-set text of one value
        Items,     // binary numbers of one size
        Indexed,   // anything else: through the element's getters
    };
    template <class A>
    PyrDicomResult NextNumber(A& value);
    // Moves past the value read last, when its end is not known yet.
    void Settle();
    void Convert();

    const PyrDicomDataElement& element_;
    PyrDicomVR vr_;
    Mode mode_ = Mode::Indexed;
    bool done_ = false;      // no value after the one at at_
    bool pending_ = false;   // the value at at_ has been read: the next one starts after it
    bool converted_ = false;
    uint32_t index_ = 0;
    uint32_t count_ = UINT32_MAX;   // set where the VR read splits the value otherwise than its own
    uint32_t itemSize_ = 0;
    size_t at_ = 0;   // where the next value starts (bytes, or units of text_)
    PyrDicomResult conversion_ = kPyrSuccess;
    PyrString text_;   // Split: the whole value as text
};
