#pragma once

#include <cstdint>
#include <memory_resource>
#include <string_view>
#include <vector>

#include "pyr/pyrdicomdataelement.h"
#include "pyr/pyrdicomdictionary.h"
#include "pyr/pyrresult.h"
#include "pyr/pyrstring.h"

// The caller's source. Both answer 0 on success; any other answer ends the read and is
// returned unchanged. read(nullptr, ..., 0, ..., end) only reports whether the source is
// exhausted. seek moves by `delta` from where the source stands and fails when it could
// not move the whole distance.
using PyrDicomReadCallback = int32_t (*)(void* buffer, uint32_t positionLow, uint32_t positionHigh, uint32_t count,
                                         void* userData, uint8_t* end);
using PyrDicomSeekCallback = int32_t (*)(uint32_t positionLow, uint32_t positionHigh, int32_t delta, void* userData);

enum PyrDicomEncoding : uint32_t {
    kPyrImplicitLittle = 0,
    kPyrExplicitLittle = 1,
    kPyrExplicitBig = 2,
};

struct PyrTransferSyntaxRow {
    const char16_t* uid;
    PyrDicomEncoding encoding;
};

extern const PyrTransferSyntaxRow TransferSyntaxTable[16];

// Empty: implicit little endian; a UID outside the table: explicit little endian.
PyrDicomEncoding TransferSyntaxToEncoding(const PyrString& uid);

struct PyrDicomDatasetOptions {
    PyrString text;
    uint32_t word1 = 0;
    uint32_t word2 = 0;
    PyrIValueAllocator* valueAllocator = nullptr;
    uint32_t allocatorThreshold = 0;   // values longer than this go to the allocator; 0: never
    uint8_t flag = 0;
    // Items of a sequence whose explicit VR reads UN: 1 implicit little endian, 2 the
    // enclosing encoding, anything else: sniffed per sequence.
    uint32_t unSequenceItemEncoding = 1;
    uint8_t skipPrivateSequences = 0;   // drop defined-length sequences in odd groups
    uint8_t osTextConversion = 0;
    // Fragments of the top-level Pixel Data listed for each frame its Number of Frames claims
    // (one when absent), and one more, so that a reader can tell the frame had too many: past
    // that the read ends there, its fragments kept. 0: no bound but memory.
    uint32_t fragmentsPerFrame = 0;
    // For a reader that uses short values only: values longer than this stay in the source
    // with their position and length on record, as Pixel Data does, and are not counted as left
    // out, except texts, which keep their first this many bytes (GetLength the whole, read as
    // a text cut there); 0: every value is read while the memory for values lasts.
    uint32_t keptValueLength = 0;
    // For a reader of known elements: inside the items of a top-level sequence, an element
    // of defined length whose tag (group << 16 | element) is not among these (ascending) is
    // passed over unread, sequences included, and costs no element; null: every one is read.
    const uint32_t* itemTags = nullptr;
    uint32_t itemTagCount = 0;
};

// The process-wide defaults.
const PyrDicomDatasetOptions& PyrDefaultDatasetOptions();

// The bytes of values one read brings into memory, all values together: far above what any
// real dataset holds beside its Pixel Data, which always stays in the source. A value past
// what is left stays in the source too, with its position and length on record, and the read
// reports it left part of the data out. The last part is kept for short values, so that one
// long value cannot leave out the ordinary elements after it.
constexpr uint32_t kPyrHeldValueLimit = 64u << 20;
constexpr uint32_t kPyrShortValueReserve = 1u << 20;
constexpr uint32_t kPyrShortValueLength = 64u << 10;

// One fragment of encapsulated Pixel Data: its item tag, its value and the value's length.
struct PyrFragment {
    int64_t itemPosition = 0;
    int64_t valuePosition = 0;
    uint32_t length = 0;
};

// The fragments of the top-level encapsulated Pixel Data, after its Basic Offset Table: a file
// may hold millions, so each costs its length alone, not an element. Items follow each other
// back to back, so a fragment's place is the one before it plus 8 and its length. The lengths
// take their memory from the dataset's upstream, metered with its elements.
class PyrFragmentList {
public:
    explicit PyrFragmentList(std::pmr::memory_resource* resource = std::pmr::get_default_resource())
        : lengths_(resource)
    {
    }
    uint32_t Size() const { return static_cast<uint32_t>(lengths_.size()); }
    bool Empty() const { return lengths_.empty(); }
    uint32_t Length(uint32_t index) const { return lengths_[index]; }
    // The first fragment's item tag; its value follows 8 bytes later.
    int64_t FirstItemPosition() const { return first_; }
    // Bytes the list holds.
    uint64_t HeldBytes() const { return uint64_t(lengths_.capacity()) * sizeof(uint32_t); }

    // Walks the fragments in order from the first.
    class Walker {
    public:
        explicit Walker(const PyrFragmentList& list) : list_(list), next_(list.first_) {}
        bool Next(PyrFragment& fragment)
        {
            if (index_ >= list_.Size()) {
                return false;
            }
            fragment.itemPosition = next_;
            fragment.valuePosition = next_ + 8;
            fragment.length = list_.lengths_[index_++];
            next_ = fragment.valuePosition + fragment.length;
            return true;
        }

    private:
        const PyrFragmentList& list_;
        int64_t next_;
        uint32_t index_ = 0;
    };

private:
    friend class PyrDicomDataset;
    void Clear()
    {
        std::pmr::vector<uint32_t>(lengths_.get_allocator()).swap(lengths_);
        first_ = 0;
    }

    int64_t first_ = 0;
    std::pmr::vector<uint32_t> lengths_;
};

// Owns an element tree and fills it from a DICOM file with preamble or a raw dataset.
class PyrDicomDataset {
public:
    // The elements' memory comes from `upstream` (null: the default resource), so that a caller
    // can meter it and refuse it; a refusal ends the read as out of memory.
    explicit PyrDicomDataset(const PyrDicomDatasetOptions* options = nullptr,
                             std::pmr::memory_resource* upstream = nullptr);
    ~PyrDicomDataset();
    PyrDicomDataset(const PyrDicomDataset&) = delete;
    PyrDicomDataset& operator=(const PyrDicomDataset&) = delete;

    void SetOptions(const PyrDicomDatasetOptions& options) { options_ = options; }
    const PyrDicomDatasetOptions& GetOptions() const { return options_; }
    void SetKeepOddLengths(bool keep) { keepOddLengths_ = keep; }
    bool GetKeepOddLengths() const { return keepOddLengths_; }
    // Recorded with every value left in the source; nothing here sets it.
    const PyrString& GetSourcePath() const { return sourcePath_; }

    PyrDicomDataElement* GetRoot() const { return root_; }
    PyrDicomLocalDictionary& GetLocalDictionary() { return localDictionary_; }
    const PyrDicomLocalDictionary& GetLocalDictionary() const { return localDictionary_; }

    PyrDicomDataElement* FindElement(uint32_t group, uint32_t element) const;
    PyrString GetString(uint32_t group, uint32_t element, const PyrString& fallback, PyrDicomVR vr = PyrVR::Unset,
                        int32_t index = -1) const;
    uint32_t GetULong(uint32_t group, uint32_t element, uint32_t fallback, PyrDicomVR vr = PyrVR::Unset,
                      int32_t index = 0) const;
    int32_t GetLong(uint32_t group, uint32_t element, int32_t fallback, PyrDicomVR vr = PyrVR::Unset,
                    int32_t index = 0) const;

    // A new element of this dataset, not attached anywhere yet.
    PyrDicomDataElement* CreateElement();

    // Parses the source into the tree. With `preamble`, a 128-byte preamble and "DICM" are
    // expected and the file meta group is read; without them the stream is taken as a raw
    // dataset from the start. Without `preamble`, `transferSyntax` names the encoding.
    PyrDicomResult ReadFromCallbacks(PyrDicomReadCallback read, PyrDicomSeekCallback seek, void* userData,
                                     bool preamble, const PyrString& transferSyntax = PyrString(), uint32_t flag = 0);
    PyrDicomResult CloseReading();
    PyrDicomResult Reset();

    PyrDicomResult ReadElements(PyrDicomDataElement* parent, PyrDicomEncoding encoding, bool meta, uint32_t depth,
                                uint32_t length);
    PyrDicomResult ReadItems(PyrDicomDataElement* sequence, PyrDicomVR vrAsRead, uint32_t length, uint32_t depth,
                             PyrDicomEncoding encoding);
    PyrDicomResult FixPixelDataVR(PyrDicomDataElement* element);
    // Looks at the next 8 bytes and steps back: does an explicit VR stand at 4 and 5?
    bool SniffExplicitVR();

    uint64_t GetStreamPosition() const { return position_; }
    int64_t GetPixelDataStart() const { return pixelDataStart_; }
    int64_t GetPixelDataSize() const { return pixelDataSize_; }
    const PyrString& GetTransferSyntax() const { return transferSyntax_; }
    // The fragments of the top-level Pixel Data when it is encapsulated; its children hold only
    // the Basic Offset Table (and any item of a wrong tag, for the reader to refuse). Empty for
    // native Pixel Data.
    const PyrFragmentList& GetPixelFragments() const { return pixelFragments_; }
    // What the last read returned: anything but success means part of the data was left out
    // (the tree holds every complete element before the cut, and every value too long to hold
    // stays in the source).
    PyrDicomResult GetReadResult() const { return readResult_; }
    // Bytes of values the last read brought into memory.
    uint64_t GetHeldBytes() const { return heldBytes_; }
    // Whether the last read met a sequence with explicit VR UN, whose items the option
    // unSequenceItemEncoding reads: without one, that option changes nothing.
    bool GetUnSequenceRead() const { return unSequenceRead_; }
    // Memory that lives as long as the dataset, for its elements; null when there is none.
    void* ArenaAllocate(size_t size, size_t alignment);

private:
    friend class PyrDicomDataElement;

    void Unregister(PyrDicomDataElement* element);
    // Takes back the memory of an element destroyed before its dataset, for the next one.
    void RecycleElement(void* memory);
    void RootDeleted(PyrDicomDataElement* element);
    bool IsDestroying() const { return destroying_; }

    PyrDicomResult ReadBytes(void* buffer, uint32_t count);
    PyrDicomResult Seek(int64_t delta);
    PyrDicomResult ProbeEnd(bool& end);
    PyrDicomResult ReadFailed(PyrDicomResult code);
    PyrDicomResult SkipForward(uint32_t length, uint64_t limit);
    PyrDicomResult SkipValue(PyrDicomDataElement* element, uint64_t limit);
    PyrDicomResult ReadValue(PyrDicomDataElement* element, PyrDicomEncoding encoding, uint64_t limit);
    // The first `kept` bytes of a longer value, the rest passed over; its length stays whole.
    PyrDicomResult ReadValuePrefix(PyrDicomDataElement* element, uint32_t kept, uint64_t limit);
    PyrDicomResult CheckPreambleAndRead();
    PyrDicomResult ReadElementsWithin(PyrDicomDataElement* parent, PyrDicomEncoding encoding, bool meta, uint32_t depth,
                                      uint32_t length, uint64_t limit);
    PyrDicomResult AddFragment(uint32_t length, uint64_t limit);
    // The fragments the list may hold: fragmentsPerFrame for each frame the root claims, and one.
    uint64_t FragmentLimit() const;
    PyrDicomResult ReadItemsWithin(PyrDicomDataElement* sequence, PyrDicomVR vrAsRead, uint32_t length, uint32_t depth,
                                   PyrDicomEncoding encoding, uint64_t limit);
    bool ElementsEnd(bool bounded, bool cut, uint64_t end, uint32_t depth, PyrDicomResult& result);
    static bool ZerosEndData(const uint8_t (&head)[8], int64_t elementPosition, bool& realElementRead);
    PyrDicomResult ReadVRAndLength(PyrDicomDataElement* e, const uint8_t (&head)[8], PyrDicomEncoding encoding,
                                   uint64_t end, PyrDicomVR& vrAsRead);
    PyrDicomResult ReadSequenceOf(PyrDicomDataElement* parent, PyrDicomDataElement* e, PyrDicomVR vrAsRead,
                                  uint32_t depth, PyrDicomEncoding encoding, uint64_t end, bool& leftOut);
    PyrDicomResult ReadValueOf(PyrDicomDataElement* e, bool pixelData, uint32_t depth, PyrDicomEncoding encoding,
                               uint64_t end);
    PyrDicomResult Read(PyrDicomReadCallback read, PyrDicomSeekCallback seek, void* userData, bool preamble,
                        const PyrString& transferSyntax, uint32_t flag);
    PyrDicomResult FixPixelDataVRAt(PyrDicomDataElement* element, std::u16string_view transferSyntax);

    // The elements, their children's lists and small values: released in one step with the
    // dataset, so that a tree of tens of thousands of elements is not freed piece by piece.
    std::pmr::monotonic_buffer_resource arena_;
    // Memory of elements destroyed while the dataset lives: a file that repeats a tag many
    // times costs no more than one element for it.
    struct FreeElement {
        FreeElement* next;
    };
    FreeElement* freeElements_ = nullptr;
    PyrDicomDataElement* root_ = nullptr;
    // Every element made for this dataset, attached or not, so that none outlives it: an
    // intrusive list through the elements, which costs no allocation and no hashing.
    PyrDicomDataElement* registry_ = nullptr;
    bool destroying_ = false;
    PyrDicomLocalDictionary localDictionary_;
    PyrDicomDatasetOptions options_;
    uint64_t position_ = 0;
    int64_t pixelDataStart_ = 0;
    int64_t pixelDataSize_ = 0;
    PyrFragmentList pixelFragments_;
    // The list reached FragmentLimit: the read ended there, the fragments listed kept.
    bool fragmentsCut_ = false;
    PyrString sourcePath_;
    PyrDicomReadCallback read_ = nullptr;
    PyrDicomSeekCallback seek_ = nullptr;
    void* userData_ = nullptr;
    uint32_t flag_ = 0;
    bool keepOddLengths_ = false;

    // Reader state of the running parse.
    PyrString transferSyntax_;
    PyrString givenTransferSyntax_;
    bool transferSyntaxRead_ = false;
    PyrDicomEncoding transferSyntaxEncoding_ = kPyrExplicitLittle;
    bool metaLengthKnown_ = false;
    uint64_t metaEnd_ = 0;
    bool partLeftOut_ = false;   // a sequence too deep or a value too long to hold
    bool unSequenceRead_ = false;
    uint64_t heldBytes_ = 0;   // of values this read brought into memory
    PyrDicomResult readResult_ = kPyrSuccess;
};
