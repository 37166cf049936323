#include "pyr/pyrdicomdataset.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory_resource>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "pyrfailingnew.h"
#include "pyrlogrecorder.h"
#include "pyrtestsource.h"

namespace {

constexpr uint32_t kUndefined = 0xFFFFFFFF;

// Writes DICOM streams by hand, for the layouts dcmtk will not produce.
class Stream {
public:
    explicit Stream(bool big = false) : big_(big) {}

    Stream& Big(bool big)
    {
        big_ = big;
        return *this;
    }
    Stream& U16(uint32_t v)
    {
        const uint8_t lo = static_cast<uint8_t>(v);
        const uint8_t hi = static_cast<uint8_t>(v >> 8);
        bytes_.push_back(big_ ? hi : lo);
        bytes_.push_back(big_ ? lo : hi);
        return *this;
    }
    Stream& U32(uint32_t v) { return big_ ? U16(v >> 16).U16(v & 0xFFFF) : U16(v & 0xFFFF).U16(v >> 16); }
    Stream& Raw(std::string_view text)
    {
        bytes_.insert(bytes_.end(), text.begin(), text.end());
        return *this;
    }
    Stream& Preamble()
    {
        bytes_.insert(bytes_.end(), 128, 0);
        return Raw("DICM");
    }
    // Explicit VR header; the short or long form follows from the VR.
    Stream& Header(uint32_t group, uint32_t element, const char* vr, uint32_t length)
    {
        U16(group).U16(element).Raw(std::string_view(vr, 2));
        static const std::string kShort = "AEASATCSDADSDTFLFDISLOLTPNSHSLSSSTTMUIULUS";
        bool isShort = false;
        for (size_t i = 0; i < kShort.size(); i += 2) {
            isShort = isShort || kShort.compare(i, 2, vr) == 0;
        }
        return isShort ? U16(length) : U16(0).U32(length);
    }
    Stream& Explicit(uint32_t group, uint32_t element, const char* vr, std::string_view value)
    {
        return Header(group, element, vr, static_cast<uint32_t>(value.size())).Raw(value);
    }
    Stream& Implicit(uint32_t group, uint32_t element, std::string_view value)
    {
        return U16(group).U16(element).U32(static_cast<uint32_t>(value.size())).Raw(value);
    }
    Stream& Item(uint32_t length = kUndefined) { return U16(0xFFFE).U16(0xE000).U32(length); }
    Stream& ItemEnd() { return U16(0xFFFE).U16(0xE00D).U32(0); }
    Stream& SequenceEnd() { return U16(0xFFFE).U16(0xE0DD).U32(0); }
    Stream& Meta(std::string_view syntax)
    {
        Stream body;
        body.Explicit(0x0002, 0x0010, "UI", syntax);
        Explicit(0x0002, 0x0000, "UL", std::string("\0\0\0\0", 4));
        const uint32_t length = static_cast<uint32_t>(body.bytes_.size());
        std::memcpy(&bytes_[bytes_.size() - 4], &length, 4);
        bytes_.insert(bytes_.end(), body.bytes_.begin(), body.bytes_.end());
        return *this;
    }
    size_t Size() const { return bytes_.size(); }
    const std::vector<uint8_t>& Bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    bool big_;
};

constexpr const char* kExplicitLittle = "1.2.840.10008.1.2.1";
constexpr const char* kRle = "1.2.840.10008.1.2.5";

// A file: preamble and a meta group naming the transfer syntax.
Stream File(std::string_view syntax = kExplicitLittle)
{
    Stream s;
    s.Preamble().Meta(syntax);
    return s;
}

std::vector<uint8_t> Cut(const std::vector<uint8_t>& bytes, size_t size)
{
    return std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
}

struct Parsed {
    explicit Parsed(const std::vector<uint8_t>& bytes, const PyrDicomDatasetOptions* options = nullptr,
                    bool preamble = true)
        : source(bytes), dataset(options)
    {
        result = source.ReadInto(dataset, preamble);
    }
    PyrDicomDataElement* Find(uint32_t group, uint32_t element) { return dataset.FindElement(group, element); }
    PyrByteSource source;
    PyrDicomDataset dataset;
    PyrDicomResult result;
};

// n sequences, each holding one item holding the next, in explicit VR little endian.
std::vector<uint8_t> Nested(int levels, bool undefined, bool undefinedInnermost = false)
{
    Stream inner;
    inner.Explicit(0x0008, 0x0100, "SH", "LEAF");
    std::vector<uint8_t> body = inner.Bytes();
    for (int i = 0; i < levels; ++i) {
        Stream s;
        if (undefined || (i == 0 && undefinedInnermost)) {
            s.Header(0x0040, 0xA730, "SQ", kUndefined).Item();
            s.Raw(std::string_view(reinterpret_cast<const char*>(body.data()), body.size())).ItemEnd().SequenceEnd();
        } else {
            const uint32_t itemLength = static_cast<uint32_t>(body.size());
            s.Header(0x0040, 0xA730, "SQ", itemLength + 8).Item(itemLength);
            s.Raw(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
        }
        body = s.Bytes();
    }
    Stream file = File();
    file.Raw(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
    return file.Bytes();
}

TEST(DatasetRead, PreambleDecidesTheLayout)
{
    // 132 bytes or more without "DICM": implicit VR from the first byte.
    Stream implicit;
    implicit.Implicit(0x0008, 0x0060, "CT")
        .Implicit(0x0010, 0x0010, std::string(120, 'A'))
        .Implicit(0x0028, 0x0010, std::string("\x00\x02", 2));
    Parsed longRaw(implicit.Bytes());
    ASSERT_EQ(longRaw.result, kPyrSuccess);
    EXPECT_EQ(longRaw.Find(0x0028, 0x0010)->GetULongOr(0), 512u);
    EXPECT_EQ(longRaw.Find(0x0008, 0x0060)->GetVR(), PyrVR::CS);

    // Shorter than a preamble: still a raw dataset, read from its start.
    Stream small;
    small.Implicit(0x0008, 0x0060, "MR").Implicit(0x0028, 0x0011, std::string("\x03\x00", 2));
    Parsed shortRaw(small.Bytes());
    ASSERT_EQ(shortRaw.result, kPyrSuccess);
    EXPECT_EQ(shortRaw.dataset.GetString(0x0008, 0x0060, PyrString()), u"MR");
    EXPECT_EQ(shortRaw.dataset.GetULong(0x0028, 0x0011, 0), 3u);

    // A transfer syntax outside the table reads as explicit little endian.
    Parsed other(File("1.2.3.4.5.6").Explicit(0x0028, 0x0010, "US", std::string("\x00\x01", 2)).Bytes());
    ASSERT_EQ(other.result, kPyrSuccess);
    EXPECT_EQ(other.dataset.GetULong(0x0028, 0x0010, 0), 256u);
    EXPECT_EQ(other.dataset.GetTransferSyntax(), u"1.2.3.4.5.6");
}

TEST(DatasetRead, BigEndianAfterALittleEndianMetaGroup)
{
    Stream s = File("1.2.840.10008.1.2.2");
    // One element per line.
    // clang-format off
    s.Big(true)
        .Explicit(0x0008, 0x0060, "CS", "CT")
        .Header(0x0018, 0x6020, "SL", 8).U32(0xFFFFFFFE).U32(70000)
        .Header(0x0020, 0x9165, "AT", 4).U16(0x0020).U16(0x9056)
        .Header(0x0028, 0x0010, "US", 2).U16(0x0102)
        .Header(0x0028, 0x0100, "US", 2).U16(16)
        .Header(0x7FE0, 0x0010, "OW", 4).U16(0x1234).U16(0x5678);
    // clang-format on
    Parsed p(s.Bytes());
    ASSERT_EQ(p.result, kPyrSuccess);
    EXPECT_EQ(p.Find(0x0008, 0x0060)->GetStringValueOr(PyrString()), u"CT");
    EXPECT_EQ(p.Find(0x0028, 0x0010)->GetULongOr(0), 0x0102u);
    EXPECT_EQ(p.Find(0x0018, 0x6020)->GetLongOr(0, PyrVR::Unset, 0), -2);
    EXPECT_EQ(p.Find(0x0018, 0x6020)->GetLongOr(0, PyrVR::Unset, 1), 70000);
    EXPECT_EQ(p.Find(0x0020, 0x9165)->GetULongOr(0), 0x00209056u);
    const PyrDicomDataElement* pixel = p.Find(0x7FE0, 0x0010);
    EXPECT_EQ(pixel->GetVR(), PyrVR::OW);
    EXPECT_EQ(pixel->GetValueMode(), PyrValueMode::InSource);
    EXPECT_EQ(p.source.Bytes()[static_cast<size_t>(pixel->GetValuePosition())], 0x12);
}

TEST(DatasetRead, SequencesNestAndStopAtTheDepthLimit)
{
    for (bool undefined : {false, true}) {
        SCOPED_TRACE(undefined ? "undefined lengths" : "defined lengths");
        Parsed ok(Nested(11, undefined));
        ASSERT_EQ(ok.result, kPyrSuccess);
        const PyrDicomDataElement* e = ok.Find(0x0040, 0xA730);
        for (int i = 1; i < 11; ++i) {
            ASSERT_EQ(e->GetChildCount(), 1u);
            e = e->GetChildAt(0)->FindChild(0x0040, 0xA730);
            ASSERT_NE(e, nullptr);
        }
        EXPECT_EQ(e->GetChildAt(0)->GetChildStringOr(0x0008, 0x0100, PyrString()), u"LEAF");
        EXPECT_EQ(Parsed(Nested(12, undefined)).result, kPyrBadPosition);
    }
}

// Past the limit, a sequence whose length leads past it is left out whole and the rest is
// read; one of undefined length ends the read where it starts.
TEST(DatasetRead, SequenceTooDeepIsSkippedWhenItsLengthLeadsPastIt)
{
    for (bool undefined : {false, true}) {
        SCOPED_TRACE(undefined ? "undefined lengths" : "defined lengths");
        // Twelve levels, the outer eleven of defined length, then an element after them.
        std::vector<uint8_t> deep = Nested(12, false, undefined);
        Stream tail;
        tail.Explicit(0x0070, 0x0001, "SH", "AFTER");
        deep.insert(deep.end(), tail.Bytes().begin(), tail.Bytes().end());
        PyrLogRecorder log;
        Parsed p(deep);
        EXPECT_EQ(p.result, kPyrBadPosition);
        EXPECT_EQ(p.dataset.GetReadResult(), kPyrBadPosition);
        if (undefined) {
            // What came before stays; the levels around it hold nothing complete and go.
            EXPECT_NE(p.Find(0x0002, 0x0010), nullptr);
            EXPECT_EQ(p.Find(0x0040, 0xA730), nullptr);
            EXPECT_EQ(p.Find(0x0070, 0x0001), nullptr);
            continue;
        }
        // The outer levels stay, each with its item.
        const PyrDicomDataElement* e = p.Find(0x0040, 0xA730);
        ASSERT_NE(e, nullptr);
        for (int i = 1; i < 11; ++i) {
            ASSERT_EQ(e->GetChildCount(), 1u) << i;
            e = e->GetChildAt(0)->FindChild(0x0040, 0xA730);
            ASSERT_NE(e, nullptr) << i;
        }
        ASSERT_EQ(e->GetChildCount(), 1u);
        EXPECT_EQ(e->GetChildAt(0)->FindChild(0x0040, 0xA730), nullptr);   // the twelfth
        EXPECT_EQ(p.dataset.GetString(0x0070, 0x0001, PyrString()), u"AFTER");
        ASSERT_EQ(log.entries.size(), 1u);
        EXPECT_EQ(log.entries[0].level, kPyrLogWarning);
    }
}

// Data stops making sense before the file ends: an item longer than its sequence, or zeros
// after real elements. What is complete before that stays; the read says it was cut.
TEST(DatasetRead, CutItemsKeepTheirCompleteElements)
{
    for (const bool zeros : {false, true}) {
        SCOPED_TRACE(zeros ? "zeros" : "item too long");
        Stream s = File();
        Stream items;
        items.Item(16).Explicit(0x0004, 0x1430, "CS", "PATIENT ");
        // The last item declares 24 bytes more than its sequence holds.
        items.Item(16u + 24u).Explicit(0x0004, 0x1430, "CS", "IMAGE   ");
        if (zeros) {
            items.Raw(std::string_view("\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 24));
        }
        s.Header(0x0004, 0x1220, "SQ", static_cast<uint32_t>(items.Size()));
        s.Raw(std::string_view(reinterpret_cast<const char*>(items.Bytes().data()), items.Size()));
        s.Explicit(0x0008, 0x0005, "CS", "ISO_IR 100");   // after the sequence: past the cut
        Parsed p(s.Bytes());
        EXPECT_EQ(p.result, kPyrBadPosition);
        const PyrDicomDataElement* sq = p.Find(0x0004, 0x1220);
        ASSERT_NE(sq, nullptr);
        ASSERT_EQ(sq->GetChildCount(), 2u);
        EXPECT_EQ(sq->GetChildAt(1)->GetChildStringOr(0x0004, 0x1430, PyrString()), u"IMAGE");
        EXPECT_EQ(sq->GetChildAt(1)->GetChildCount(), 1u);
    }
}

// A source of size bytes, zero wherever no piece was written: a sparse file, whose gigabytes
// cost nothing unless a reader takes them.
class SparseSource : public PyrTestSource {
public:
    explicit SparseSource(int64_t size) : size_(size) {}
    void Put(int64_t at, const std::vector<uint8_t>& bytes) { pieces_.push_back({at, bytes}); }

    int64_t Size() override { return size_; }
    int64_t Tell() override { return position_; }
    int64_t ReadSome(void* buffer, int64_t count) override
    {
        const int64_t n = std::max<int64_t>(0, std::min(count, size_ - position_));
        auto* out = static_cast<uint8_t*>(buffer);
        std::fill(out, out + n, uint8_t(0));
        for (const auto& [at, bytes] : pieces_) {
            const int64_t from = std::max(at, position_);
            const int64_t to = std::min<int64_t>(at + static_cast<int64_t>(bytes.size()), position_ + n);
            for (int64_t i = from; i < to; ++i) {
                out[i - position_] = bytes[static_cast<size_t>(i - at)];
            }
        }
        position_ += n;
        bytesRead += n;
        return n;
    }
    void MoveTo(int64_t position) override { position_ = position; }

    int64_t bytesRead = 0;

private:
    int64_t size_;
    int64_t position_ = 0;
    std::vector<std::pair<int64_t, std::vector<uint8_t>>> pieces_;
};

// Four private values claiming a gigabyte each (a sparse file, as a forged disc holds it):
// each stays in the source with its position and length, as dcmdump -M lists them "not
// loaded", and every element after them is read. A long value within the budget is held.
TEST(DatasetRead, ValueTooLongToHoldStaysInTheSource)
{
    constexpr uint32_t kGiB = 1u << 30;
    constexpr uint32_t kHeld = 32u << 20;
    Stream head = File();
    head.Explicit(0x0009, 0x0010, "LO", "KESTRO");
    std::vector<int64_t> valueAt;
    int64_t at = static_cast<int64_t>(head.Size());
    std::vector<std::pair<int64_t, std::vector<uint8_t>>> pieces{{0, head.Bytes()}};
    for (uint32_t k = 0; k < 5; ++k) {
        Stream h;
        const uint32_t length = k < 4 ? kGiB : kHeld;
        h.Header(0x0009, 0x1001 + k, "OB", length);
        pieces.push_back({at, h.Bytes()});
        at += static_cast<int64_t>(h.Size());
        valueAt.push_back(at);
        at += length;
    }
    Stream tail;
    tail.Explicit(0x0010, 0x0010, "PN", "Long^Values ").Header(0x0028, 0x0010, "US", 2).U16(2);
    tail.Header(0x7FE0, 0x0010, "OB", 4).U32(0x04030201);
    pieces.push_back({at, tail.Bytes()});
    SparseSource source(at + static_cast<int64_t>(tail.Size()));
    for (const auto& [where, bytes] : pieces) {
        source.Put(where, bytes);
    }

    PyrLogRecorder log;
    PyrDicomDataset dataset;
    EXPECT_EQ(source.ReadInto(dataset), kPyrBadPosition);   // part of the data was left out
    EXPECT_EQ(dataset.GetReadResult(), kPyrBadPosition);
    for (uint32_t k = 0; k < 4; ++k) {
        const PyrDicomDataElement* e = dataset.FindElement(0x0009, 0x1001 + k);
        ASSERT_NE(e, nullptr) << k;
        EXPECT_EQ(e->GetValueMode(), PyrValueMode::InSource) << k;
        EXPECT_EQ(e->GetBytesHeld(), 0u) << k;
        EXPECT_EQ(e->GetLength(), kGiB) << k;
        EXPECT_EQ(e->GetValuePosition(), valueAt[k]) << k;
    }
    const PyrDicomDataElement* bound = dataset.FindElement(0x0009, 0x1005);
    ASSERT_NE(bound, nullptr);
    EXPECT_EQ(bound->GetBytesHeld(), kHeld);
    EXPECT_EQ(dataset.GetString(0x0010, 0x0010, PyrString()), u"Long^Values");
    EXPECT_EQ(dataset.GetULong(0x0028, 0x0010, 0), 2u);
    EXPECT_EQ(dataset.GetPixelDataStart(), at + static_cast<int64_t>(tail.Size()) - 16);
    EXPECT_EQ(PyrFlatten(dataset.GetRoot()).size(), 2u + 1u + 5u + 3u);
    // Only the value within the budget was taken from the source.
    EXPECT_LT(source.bytesRead, static_cast<int64_t>(kHeld) + 4096);
    ASSERT_EQ(log.entries.size(), 4u);
    EXPECT_EQ(log.entries[0].level, kPyrLogWarning);
}

// Thirty private values of 63 MiB, then three of 30 MiB (a sparse file of 2 GB): the values
// held share one budget, whatever each value's own length; the short elements after them are
// read, and the values left out stay on record in the source.
TEST(DatasetRead, HeldValuesShareOneBudget)
{
    constexpr uint32_t kMiB = 1u << 20;
    Stream head = File();
    head.Explicit(0x0009, 0x0010, "LO", "KESTRO");
    std::vector<std::pair<int64_t, std::vector<uint8_t>>> pieces{{0, head.Bytes()}};
    int64_t at = static_cast<int64_t>(head.Size());
    std::vector<uint32_t> lengths(30, 63 * kMiB);
    lengths.insert(lengths.end(), {30 * kMiB, 30 * kMiB, 30 * kMiB});
    for (uint32_t k = 0; k < lengths.size(); ++k) {
        Stream h;
        h.Header(0x0009, 0x1001 + k, "OB", lengths[k]);
        pieces.push_back({at, h.Bytes()});
        at += static_cast<int64_t>(h.Size()) + lengths[k];
    }
    Stream tail;
    tail.Explicit(0x0010, 0x0010, "PN", "Many^Values ").Header(0x0028, 0x0010, "US", 2).U16(2);
    tail.Header(0x7FE0, 0x0010, "OB", 4).U32(0x04030201);
    pieces.push_back({at, tail.Bytes()});
    SparseSource source(at + static_cast<int64_t>(tail.Size()));
    for (const auto& [where, bytes] : pieces) {
        source.Put(where, bytes);
    }

    PyrLogRecorder log;
    PyrDicomDataset dataset;
    EXPECT_EQ(source.ReadInto(dataset), kPyrBadPosition);
    uint64_t held = 0;
    uint32_t longHeld = 0;
    for (const PyrWalked& w : PyrFlatten(dataset.GetRoot())) {
        held += w.element->GetBytesHeld();
        longHeld += w.element->GetBytesHeld() > kPyrShortValueLength ? 1 : 0;
    }
    EXPECT_EQ(held, dataset.GetHeldBytes());
    EXPECT_LE(held, kPyrHeldValueLimit);
    EXPECT_EQ(longHeld, 2u);   // the first two of 30 MiB
    for (uint32_t k = 0; k < lengths.size(); ++k) {
        const PyrDicomDataElement* e = dataset.FindElement(0x0009, 0x1001 + k);
        ASSERT_NE(e, nullptr) << k;
        EXPECT_EQ(e->GetLength(), lengths[k]) << k;
        EXPECT_EQ(e->GetValueMode() == PyrValueMode::InSource, k < 30 || k == 32) << k;
    }
    EXPECT_EQ(dataset.GetString(0x0010, 0x0010, PyrString()), u"Many^Values");
    EXPECT_EQ(dataset.GetULong(0x0028, 0x0010, 0), 2u);
    EXPECT_NE(dataset.FindElement(0x7FE0, 0x0010), nullptr);
    EXPECT_LT(source.bytesRead, static_cast<int64_t>(held) + 4096);
    EXPECT_EQ(log.entries.size(), 31u);
}

// Zeros after real top-level elements end the dataset, as writers padding a file leave them,
// whether the last header is whole or cut short; what came before stays, as dcmdump +E lists
// it (which adds one (0000,0000) of the zeros). Zeros past where a preamble without its
// marker would end stop the read too: a file of nothing but zeros is no dataset.
TEST(DatasetRead, ZerosAfterTheElementsEndTheData)
{
    Stream s = File();
    s.Explicit(0x0010, 0x0010, "PN", "Zero^Tail ").Header(0x0028, 0x0010, "US", 2).U16(2);
    s.Header(0x7FE0, 0x0010, "OB", 4).U32(0x04030201);
    const size_t whole = s.Size();
    for (const size_t zeros : {size_t(8), size_t(45), size_t(4000)}) {
        SCOPED_TRACE(zeros);
        std::vector<uint8_t> bytes = s.Bytes();
        bytes.resize(whole + zeros, 0);
        PyrByteSource source(bytes);
        PyrDicomDataset dataset;
        EXPECT_EQ(source.ReadInto(dataset), kPyrBadPosition);
        EXPECT_EQ(dataset.FindElement(0x0000, 0x0000), nullptr);
        EXPECT_EQ(dataset.GetString(0x0010, 0x0010, PyrString()), u"Zero^Tail");
        ASSERT_NE(dataset.FindElement(0x7FE0, 0x0010), nullptr);
        EXPECT_EQ(dataset.GetPixelDataSize(), 16);
        // One header read and the reader stops: the tail is never walked.
        EXPECT_LE(dataset.GetStreamPosition(), whole + 8);
    }

    // 600 MB of zeros after the pixel data: a sparse tail read only as far as its first header.
    SparseSource tail(static_cast<int64_t>(whole) + 600000000);
    tail.Put(0, s.Bytes());
    PyrDicomDataset dataset;
    EXPECT_EQ(tail.ReadInto(dataset), kPyrBadPosition);
    EXPECT_EQ(dataset.GetULong(0x0028, 0x0010, 0), 2u);
    EXPECT_LT(tail.bytesRead, 1000);

    const std::vector<uint8_t> nothing(100000, 0);
    PyrByteSource zeros(nothing);
    PyrDicomDataset empty;
    EXPECT_EQ(zeros.ReadInto(empty), kPyrBadPosition);
    EXPECT_LE(empty.GetStreamPosition(), 136u);
}

TEST(DatasetRead, UnknownRepresentations)
{
    // A UN that the dictionary knows takes the dictionary's VR and reads as such.
    Stream s = File();
    s.Header(0x0028, 0x0010, "UN", 2).U16(512);
    // A UN sequence of undefined length: its items are implicit VR little endian.
    s.Header(0x0009, 0x1010, "UN", kUndefined).Item().Implicit(0x0010, 0x0020, "PID1").ItemEnd().SequenceEnd();
    s.Explicit(0x0010, 0x0010, "PN", "Doe^John");
    Parsed p(s.Bytes());
    ASSERT_EQ(p.result, kPyrSuccess);
    EXPECT_EQ(p.Find(0x0028, 0x0010)->GetVR(), PyrVR::US);
    EXPECT_EQ(p.Find(0x0028, 0x0010)->GetULongOr(0), 512u);
    const PyrDicomDataElement* sequence = p.Find(0x0009, 0x1010);
    ASSERT_EQ(sequence->GetChildCount(), 1u);
    EXPECT_EQ(sequence->GetChildAt(0)->GetChildStringOr(0x0010, 0x0020, PyrString()), u"PID1");
    EXPECT_EQ(p.dataset.GetString(0x0010, 0x0010, PyrString()), u"Doe^John");

    // The same items written in explicit VR: the retry option keeps the outer encoding,
    // and sniffing finds it on its own.
    Stream e = File();
    e.Header(0x0009, 0x1010, "UN", kUndefined).Item().Explicit(0x0010, 0x0020, "LO", "PID2").ItemEnd().SequenceEnd();
    for (uint32_t mode : {2u, 0u}) {
        PyrDicomDatasetOptions options;
        options.unSequenceItemEncoding = mode;
        Parsed q(e.Bytes(), &options);
        ASSERT_EQ(q.result, kPyrSuccess) << mode;
        EXPECT_EQ(q.Find(0x0009, 0x1010)->GetChildAt(0)->GetChildStringOr(0x0010, 0x0020, PyrString()), u"PID2");
    }
}

TEST(DatasetRead, EncapsulatedPixelDataStaysInTheSource)
{
    Stream s = File(kRle);
    s.Header(0x0028, 0x0100, "US", 2).U16(16);
    const size_t pixelStart = s.Size();
    s.Header(0x7FE0, 0x0010, "OB", kUndefined).Item(8).U32(0).U32(20);
    const size_t second = s.Size() + 8;
    s.Item(12).Raw("ABCDEFGHIJKL");
    const size_t third = s.Size() + 8;
    s.Item(6).Raw("MNOPQR").SequenceEnd();
    Parsed p(s.Bytes());
    ASSERT_EQ(p.result, kPyrSuccess);
    const PyrDicomDataElement* pixel = p.Find(0x7FE0, 0x0010);
    // The offset table is an element; the fragments are a list of lengths.
    ASSERT_EQ(pixel->GetChildCount(), 1u);
    const PyrDicomDataElement* table = pixel->GetChildAt(0);
    EXPECT_EQ(table->GetValueMode(), PyrValueMode::Heap);
    EXPECT_EQ(table->GetBytesHeld(), 8u);
    EXPECT_EQ(table->GetULongOr(0, PyrVR::UL, 1), 20u);
    const PyrFragmentList& fragments = p.dataset.GetPixelFragments();
    ASSERT_EQ(fragments.Size(), 2u);
    EXPECT_EQ(fragments.FirstItemPosition(), static_cast<int64_t>(second) - 8);
    PyrFragmentList::Walker walk(fragments);
    PyrFragment f;
    ASSERT_TRUE(walk.Next(f));
    EXPECT_EQ(f.valuePosition, static_cast<int64_t>(second));
    EXPECT_EQ(f.length, 12u);
    ASSERT_TRUE(walk.Next(f));
    EXPECT_EQ(f.itemPosition, static_cast<int64_t>(third) - 8);
    EXPECT_EQ(f.valuePosition, static_cast<int64_t>(third));
    EXPECT_EQ(f.length, 6u);
    EXPECT_FALSE(walk.Next(f));
    EXPECT_EQ(pixel->GetVR(), PyrVR::OB);
    EXPECT_EQ(p.dataset.GetPixelDataStart(), static_cast<int64_t>(pixelStart));
    EXPECT_EQ(p.dataset.GetPixelDataSize(), static_cast<int64_t>(s.Size() - pixelStart));
}

// A million empty items cost a few bytes each, not an element each; an item of another tag
// stays an element for the reader to refuse, and a cut fragment takes the list with it.
TEST(DatasetRead, FragmentsCostTheirLengthAlone)
{
    constexpr uint32_t kEmpty = 1000000;
    Stream s = File(kRle);
    s.Header(0x7FE0, 0x0010, "OB", kUndefined).Item(0).Item(4).Raw("abcd");
    for (uint32_t i = 0; i < kEmpty; ++i) {
        s.Item(0);
    }
    s.SequenceEnd();
    const std::vector<uint8_t> bytes = s.Bytes();
    const int64_t before = PyrFailingNew::LiveBytes();
    {
        Parsed p(bytes);
        const int64_t held = PyrFailingNew::LiveBytes() - before - static_cast<int64_t>(bytes.size());
        ASSERT_EQ(p.result, kPyrSuccess);
        EXPECT_EQ(p.Find(0x7FE0, 0x0010)->GetChildCount(), 1u);
        const PyrFragmentList& list = p.dataset.GetPixelFragments();
        ASSERT_EQ(list.Size(), kEmpty + 1);
        EXPECT_EQ(list.Length(0), 4u);
        EXPECT_EQ(list.Length(kEmpty), 0u);
        // Four bytes an item, twice that while the list grows; an element was 208.
        EXPECT_LT(held, int64_t(kEmpty) * 9);
        EXPECT_LE(list.HeldBytes(), uint64_t(kEmpty) * 8 + 64);
    }

    Stream stray = File(kRle);
    stray.Header(0x7FE0, 0x0010, "OB", kUndefined).Item(0).Item(2).Raw("ab");
    stray.U16(0xFFFE).U16(0xE00D).U32(2).Raw("cd").Item(2).Raw("ef").SequenceEnd();
    Parsed q(stray.Bytes());
    ASSERT_EQ(q.result, kPyrSuccess);
    EXPECT_EQ(q.dataset.GetPixelFragments().Size(), 1u);
    ASSERT_EQ(q.Find(0x7FE0, 0x0010)->GetChildCount(), 3u);
    EXPECT_EQ(q.Find(0x7FE0, 0x0010)->GetChildAt(1)->GetElement(), 0xE00Du);

    Stream cut = File(kRle);
    cut.Header(0x7FE0, 0x0010, "OB", kUndefined).Item(0).Item(2).Raw("ab").Item(40).Raw("cd");
    Parsed r(cut.Bytes());
    EXPECT_NE(r.result, kPyrSuccess);
    EXPECT_EQ(r.Find(0x7FE0, 0x0010), nullptr);
    EXPECT_TRUE(r.dataset.GetPixelFragments().Empty());
}

// A resource that counts what it holds and refuses past a limit, as a metered upstream does.
class LimitedResource : public std::pmr::memory_resource {
public:
    explicit LimitedResource(size_t limit) : limit_(limit) {}
    size_t held = 0;
    size_t refusals = 0;

private:
    void* do_allocate(size_t bytes, size_t alignment) override
    {
        if (bytes > limit_ - held) {
            ++refusals;
            throw std::bad_alloc();
        }
        held += bytes;
        return ::operator new(bytes, std::align_val_t(alignment));
    }
    void do_deallocate(void* pointer, size_t bytes, size_t alignment) override
    {
        held -= bytes;
        ::operator delete(pointer, std::align_val_t(alignment));
    }
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }
    size_t limit_;
};

// 100,000 empty fragments after a frame of four bytes, with the frames claimed if any.
std::vector<uint8_t> EmptyFragments(const char* frames)
{
    Stream s = File(kRle);
    if (frames != nullptr) {
        s.Explicit(0x0028, 0x0008, "IS", frames);
    }
    s.Header(0x7FE0, 0x0010, "OB", kUndefined).Item(0).Item(4).Raw("abcd");
    for (uint32_t i = 0; i < 100000; ++i) {
        s.Item(0);
    }
    return s.SequenceEnd().Bytes();
}

// The fragment list lives in the dataset's upstream with its elements: a resource that cannot
// hold it ends the read as out of memory, with no fragment listed. With a bound a frame, the
// list stops one past the frames' share, cheaply, and keeps the Pixel Data for its reader.
TEST(DatasetRead, FragmentListIsMeteredAndBoundedByTheFramesClaimed)
{
    const std::vector<uint8_t> bytes = EmptyFragments(nullptr);
    {
        LimitedResource resource(SIZE_MAX);
        PyrByteSource source(bytes);
        PyrDicomDataset dataset(nullptr, &resource);
        ASSERT_EQ(source.ReadInto(dataset), kPyrSuccess);
        const PyrFragmentList& list = dataset.GetPixelFragments();
        ASSERT_EQ(list.Size(), 100001u);
        EXPECT_GE(resource.held, list.HeldBytes());
        EXPECT_GE(list.HeldBytes(), 100001u * 4);
    }
    {
        // Room for the elements (the arena's first block), not for 400 KB of lengths.
        LimitedResource resource(256u << 10);
        PyrByteSource source(bytes);
        PyrDicomDataset dataset(nullptr, &resource);
        EXPECT_EQ(source.ReadInto(dataset), kPyrOutOfMemory);
        EXPECT_GT(resource.refusals, 0u);
        EXPECT_TRUE(dataset.GetPixelFragments().Empty());
        EXPECT_EQ(dataset.FindElement(0x7FE0, 0x0010), nullptr);
    }
    struct Case {
        const char* frames;
        uint32_t listed;
    };
    for (const Case& c : {Case{nullptr, 5}, Case{"3", 13}, Case{"0", 5}, Case{"-7", 5}}) {
        SCOPED_TRACE(c.frames != nullptr ? c.frames : "absent");
        PyrDicomDatasetOptions options;
        options.fragmentsPerFrame = 4;
        const std::vector<uint8_t> claimed = EmptyFragments(c.frames);
        Parsed p(claimed, &options);
        EXPECT_EQ(p.result, kPyrBadPosition);
        const PyrFragmentList& list = p.dataset.GetPixelFragments();
        ASSERT_EQ(list.Size(), c.listed);
        EXPECT_EQ(list.Length(0), 4u);
        ASSERT_NE(p.Find(0x7FE0, 0x0010), nullptr);
        EXPECT_EQ(p.Find(0x7FE0, 0x0010)->GetChildCount(), 1u);
        // Read as far as the bound: the item past the listed ones, no further.
        EXPECT_EQ(p.dataset.GetPixelDataStart() + p.dataset.GetPixelDataSize(),
                  static_cast<int64_t>(claimed.size() - 8 * (100000 - c.listed + 2)) + 8);
        EXPECT_LT(list.HeldBytes(), 1024u);
    }
    // Within the bound, nothing is cut.
    PyrDicomDatasetOptions roomy;
    roomy.fragmentsPerFrame = 100001;
    Parsed all(bytes, &roomy);
    EXPECT_EQ(all.result, kPyrSuccess);
    EXPECT_EQ(all.dataset.GetPixelFragments().Size(), 100001u);
}

TEST(DatasetRead, PixelDataRepresentationFollowsTheTransferSyntax)
{
    struct Case {
        const char* syntax;
        const char* written;
        uint32_t bits;
        bool fragments;
        PyrDicomVR expected;
    };
    const Case cases[] = {
        // JPEG lossless: fragments are bytes; a native value goes by Bits Allocated.
        {"1.2.840.10008.1.2.4.70", "OW", 16, true, PyrVR::OB},
        {"1.2.840.10008.1.2.4.70", "OB", 16, false, PyrVR::OW},
        {"1.2.840.10008.1.2.4.70", "OW", 8, false, PyrVR::OB},
        {"1.2.840.10008.1.2.1", "OB", 12, false, PyrVR::OW},
        {"1.2.840.10008.1.2.1", "OW", 8, false, PyrVR::OB},
        // Other syntaxes keep what the file says.
        {"1.2.840.10008.1.2.4.50", "OW", 8, true, PyrVR::OW},
        {"1.2.840.10008.1.2.5", "OW", 16, false, PyrVR::OW},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.syntax) + " " + c.written + " " + std::to_string(c.bits));
        Stream s = File(c.syntax);
        s.Header(0x0028, 0x0100, "US", 2).U16(c.bits);
        if (c.fragments) {
            s.Header(0x7FE0, 0x0010, c.written, kUndefined).Item(0).Item(4).Raw("abcd").SequenceEnd();
        } else {
            s.Header(0x7FE0, 0x0010, c.written, 4).Raw("abcd");
        }
        Parsed p(s.Bytes());
        ASSERT_EQ(p.result, kPyrSuccess);
        EXPECT_EQ(p.Find(0x7FE0, 0x0010)->GetVR(), c.expected);
    }
    // Implicit VR little endian: OW whatever the bits.
    Stream implicit;
    implicit.Implicit(0x0028, 0x0100, std::string("\x08\x00", 2)).Implicit(0x7FE0, 0x0010, "abcd");
    Parsed p(implicit.Bytes(), nullptr, false);
    ASSERT_EQ(p.result, kPyrSuccess);
    EXPECT_EQ(p.Find(0x7FE0, 0x0010)->GetVR(), PyrVR::OW);
}

TEST(DatasetRead, ValuesAsStored)
{
    Stream s = File();
    s.Explicit(0x0010, 0x0020, "LO", "ODD").Explicit(0x0010, 0x0020, "LO", "LATER!");
    s.Explicit(0x0028, 0x0100, "US", std::string("\x08\x00", 2));
    // A Pixel Data of 0xFFFF bytes is left in the source like any other.
    s.Header(0x7FE0, 0x0010, "OW", 0xFFFF).Raw(std::string(0xFFFF, 'p'));
    Parsed p(s.Bytes());
    ASSERT_EQ(p.result, kPyrSuccess);
    EXPECT_EQ(p.dataset.GetString(0x0010, 0x0020, PyrString()), u"LATER!");
    EXPECT_EQ(p.dataset.GetRoot()->GetChildCount(), 5u);
    const PyrDicomDataElement* pixel = p.Find(0x7FE0, 0x0010);
    EXPECT_EQ(pixel->GetValueMode(), PyrValueMode::InSource);
    EXPECT_EQ(pixel->GetLength(), 0xFFFFu);
    EXPECT_EQ(pixel->GetVR(), PyrVR::OB);   // 8 bits allocated

    Parsed q(File().Explicit(0x0010, 0x0020, "LO", "ODD").Bytes());
    ASSERT_EQ(q.result, kPyrSuccess);
    EXPECT_EQ(q.Find(0x0010, 0x0020)->GetLength(), 3u);
}

TEST(DatasetRead, PrivateSequencesCanBeSkipped)
{
    Stream s = File();
    s.Header(0x0009, 0x1010, "SQ", 20).Item(12).Explicit(0x0009, 0x1011, "LO", "ABCD");
    s.Explicit(0x0010, 0x0020, "LO", "AFTER!");
    PyrDicomDatasetOptions options;
    options.skipPrivateSequences = 1;
    Parsed skipped(s.Bytes(), &options);
    ASSERT_EQ(skipped.result, kPyrSuccess);
    EXPECT_EQ(skipped.Find(0x0009, 0x1010), nullptr);
    EXPECT_EQ(skipped.dataset.GetString(0x0010, 0x0020, PyrString()), u"AFTER!");
    Parsed kept(s.Bytes());
    ASSERT_EQ(kept.result, kPyrSuccess);
    EXPECT_EQ(kept.Find(0x0009, 0x1010)->GetChildCount(), 1u);
}

// A directory reader's reading: in the items of a top-level sequence only the elements named
// are made, a defined-length sequence too (a record's icon); of those, and at the top level,
// only short values are held. What is passed over stays in the source, and the read is whole.
TEST(DatasetRead, ItemsKeepTheNamedElementsAndShortValuesAlone)
{
    Stream s = File();
    s.Header(0x0004, 0x1220, "SQ", kUndefined).Item();
    s.Explicit(0x0010, 0x0010, "PN", "Doe^John").Explicit(0x0010, 0x0020, "LO", std::string(40, '7'));
    s.Explicit(0x0010, 0x0030, "DA", "20260101");
    s.Header(0x0088, 0x0200, "SQ", 20).Item(12).Explicit(0x0028, 0x0004, "CS", "ABCD");
    s.Header(0x0089, 0x1010, "SQ", kUndefined).Item().Explicit(0x0089, 0x1011, "LO", "EFGH").ItemEnd().SequenceEnd();
    s.ItemEnd().SequenceEnd();
    s.Explicit(0x0010, 0x4000, "LT", std::string(40, 'T')).Explicit(0x0011, 0x1010, "OB", std::string(40, 'B'));
    static constexpr uint32_t kNamed[] = {0x00100010, 0x00100020};
    PyrDicomDatasetOptions options;
    options.itemTags = kNamed;
    options.itemTagCount = 2;
    options.keptValueLength = 32;
    Parsed p(s.Bytes(), &options);
    ASSERT_EQ(p.result, kPyrSuccess);
    EXPECT_EQ(p.dataset.GetReadResult(), kPyrSuccess);
    const PyrDicomDataElement* item = p.Find(0x0004, 0x1220)->GetChildAt(0);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->GetChildStringOr(0x0010, 0x0010, PyrString(), PyrVR::Unset, -1), u"Doe^John");
    // A longer text keeps its first bytes and its length, and reads cut as a limit cuts it.
    const PyrDicomDataElement* id = item->FindChild(0x0010, 0x0020);
    ASSERT_NE(id, nullptr);
    EXPECT_EQ(id->GetLength(), 40u);
    EXPECT_EQ(id->GetBytesHeld(), 32u);
    EXPECT_EQ(item->GetChildStringOr(0x0010, 0x0020, PyrString(), PyrVR::Unset, -1).View(), std::u16string(32, u'7'));
    EXPECT_EQ(item->FindChild(0x0010, 0x0030), nullptr);
    EXPECT_EQ(item->FindChild(0x0088, 0x0200), nullptr);
    // Undefined in length, it cannot be passed over: read as ever.
    ASSERT_NE(item->FindChild(0x0089, 0x1010), nullptr);
    EXPECT_EQ(item->FindChild(0x0089, 0x1010)->GetChildCount(), 1u);
    ASSERT_NE(p.Find(0x0010, 0x4000), nullptr);
    EXPECT_EQ(p.Find(0x0010, 0x4000)->GetBytesHeld(), 32u);
    ASSERT_NE(p.Find(0x0011, 0x1010), nullptr);
    EXPECT_EQ(p.Find(0x0011, 0x1010)->GetValueMode(), PyrValueMode::InSource);

    Parsed whole(s.Bytes());
    ASSERT_EQ(whole.result, kPyrSuccess);
    const PyrDicomDataElement* all = whole.Find(0x0004, 0x1220)->GetChildAt(0);
    EXPECT_NE(all->FindChild(0x0010, 0x0030), nullptr);
    EXPECT_NE(all->FindChild(0x0088, 0x0200), nullptr);
    EXPECT_NE(all->FindChild(0x0010, 0x0020)->GetValueMode(), PyrValueMode::InSource);
}

TEST(DatasetRead, HostileLengthsEndTheRead)
{
    std::vector<std::pair<std::string, Stream>> cases;
    for (uint32_t length : {0xFFFFFFF8u, 0x80000000u, 0x7FFFFFF0u, 4000u}) {
        const std::string n = " " + std::to_string(length);
        cases.emplace_back("value" + n, File().Header(0x0009, 0x1001, "OB", length).Raw("xx"));
        cases.emplace_back("pixel data" + n, File().Header(0x7FE0, 0x0010, "OW", length).Raw("xx"));
        cases.emplace_back("fragment" + n,
                           File(kRle).Header(0x7FE0, 0x0010, "OB", kUndefined).Item(0).Item(length).Raw("xxxx"));
        cases.emplace_back(
            "item" + n,
            File().Header(0x0040, 0x0275, "SQ", kUndefined).Item(length).Explicit(0x0010, 0x0020, "LO", "ABCD"));
        cases.emplace_back("sequence" + n,
                           File().Header(0x0040, 0x0275, "SQ", length).Item(12).Explicit(0x0010, 0x0020, "LO", "ABCD"));
        cases.emplace_back("implicit" + n,
                           Stream().Implicit(0x0010, 0x0010, "").U16(0x0010).U16(0x0020).U32(length).Raw("yy"));
    }
    // An item reaching past its sequence by one whole element.
    cases.emplace_back("item past its sequence", File()
                                                     .Header(0x0040, 0x0275, "SQ", 20)
                                                     .Item(20)
                                                     .Explicit(0x0010, 0x0020, "LO", "ABCD")
                                                     .Explicit(0x0010, 0x0030, "DA", ""));
    // Structure where it does not belong.
    cases.emplace_back("item at the top", File().Item(0));
    cases.emplace_back("unclosed item",
                       File().Header(0x0040, 0x0275, "SQ", kUndefined).Item().Explicit(0x0010, 0x0020, "LO", "ABCD"));
    cases.emplace_back("child crosses its item", File()
                                                     .Header(0x0040, 0x0275, "SQ", kUndefined)
                                                     .Item(6)
                                                     .Explicit(0x0010, 0x0020, "LO", "ABCD")
                                                     .ItemEnd()
                                                     .SequenceEnd());
    for (const auto& [name, stream] : cases) {
        SCOPED_TRACE(name);
        Parsed p(stream.Bytes());
        EXPECT_EQ(p.result, kPyrBadPosition);
        // A handful of calls: no loop over a wrapped length, no search backwards.
        EXPECT_LE(p.source.reads, 12u);
        EXPECT_LE(p.source.seeks, 2u);
    }
}

TEST(DatasetRead, TagsOutOfOrderAreSorted)
{
    // One group last to first: each element lands at the front of its group.
    Stream s;
    for (uint32_t element = 3000; element >= 1; --element) {
        s.Implicit(0x0009, element, element == 1234 ? "XY" : "");
    }
    Parsed p(s.Bytes());
    ASSERT_EQ(p.result, kPyrSuccess);
    const PyrDicomDataElement* root = p.dataset.GetRoot();
    ASSERT_EQ(root->GetChildCount(), 3000u);
    for (uint32_t i = 0; i < 3000; ++i) {
        ASSERT_EQ(root->GetChildAt(i)->GetElement(), i + 1);
    }
    EXPECT_EQ(root->FindChild(0x0009, 1234)->GetLength(), 2u);
}

TEST(DatasetRead, CallbackFailuresPassThrough)
{
    Stream s = File();
    s.Explicit(0x0010, 0x0020, "LO", "ABCD");
    struct Failing : PyrByteSource {
        using PyrByteSource::PyrByteSource;
        static int32_t Read(void* buffer, uint32_t low, uint32_t high, uint32_t count, void* user, uint8_t* end)
        {
            auto* self = static_cast<Failing*>(user);
            if (buffer != nullptr && self->Tell() >= 171) {
                return 77;
            }
            return PyrTestSource::Read(buffer, low, high, count, user, end);
        }
    } source(s.Bytes());
    PyrDicomDataset dataset;
    EXPECT_EQ(dataset.ReadFromCallbacks(&Failing::Read, &PyrTestSource::Seek, &source, true), 77u);
    EXPECT_NE(dataset.FindElement(0x0002, 0x0010), nullptr);   // the tree as far as it got
    EXPECT_EQ(dataset.ReadFromCallbacks(nullptr, &PyrTestSource::Seek, &source, true), kPyrBadArgument);
}

TEST(DatasetRead, TruncatedFileFailsUnlessCutBetweenElements)
{
    const std::vector<uint8_t> whole = PyrReadWholeFile(PYR_TEST_DATA_DIR "/ct_explicit_le.dcm");
    ASSERT_FALSE(whole.empty());
    Parsed full(whole);
    ASSERT_EQ(full.result, kPyrSuccess);
    std::vector<bool> boundary(whole.size() + 1, false);
    const PyrDicomDataElement* root = full.dataset.GetRoot();
    for (uint32_t i = 0; i < root->GetChildCount(); ++i) {
        boundary[static_cast<size_t>(root->GetChildAt(i)->GetPosition())] = true;
    }
    // Shorter than a preamble: read from the start as implicit VR. The preamble's zeros are
    // then elements (0000,0000) of length 0, eight bytes each, one replacing the other.
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        Parsed p(Cut(whole, cut));
        if (cut >= 132) {
            EXPECT_EQ(p.result == kPyrSuccess, boundary[cut]) << cut;
            continue;
        }
        EXPECT_EQ(p.result, cut % 8 == 0 && cut <= 128 ? kPyrSuccess : kPyrBadPosition) << cut;
        EXPECT_EQ(p.dataset.GetRoot()->GetChildCount(), cut >= 8 ? 1u : 0u) << cut;
        EXPECT_EQ(p.Find(0x0000, 0x0000) != nullptr, cut >= 8) << cut;
    }
}

// Discs written by faulty burners end inside a sequence: the items read whole stay, the
// read still fails, and an item cut short is not kept.
TEST(DatasetRead, CutSequenceKeepsItsWholeItems)
{
    for (const bool undefined : {false, true}) {
        Stream s = File();
        s.Header(0x0004, 0x1220, "SQ", undefined ? kUndefined : 1000);
        const size_t items = s.Size();
        for (int i = 0; i < 3; ++i) {
            s.Item(16).Explicit(0x0004, 0x1430, "CS", "PATIENT ");
        }
        const size_t third = items + 2 * 24;
        for (size_t cut = third; cut <= s.Size(); ++cut) {
            Parsed p(Cut(s.Bytes(), cut));
            EXPECT_NE(p.result, kPyrSuccess) << cut;
            const PyrDicomDataElement* sq = p.Find(0x0004, 0x1220);
            ASSERT_NE(sq, nullptr) << cut;
            EXPECT_EQ(sq->GetChildCount(), cut == s.Size() ? 3u : 2u) << cut;
        }
        // Without one whole item the sequence goes.
        Parsed none(Cut(s.Bytes(), items + 12));
        EXPECT_NE(none.result, kPyrSuccess);
        EXPECT_EQ(none.Find(0x0004, 0x1220), nullptr);
        EXPECT_NE(none.Find(0x0002, 0x0010), nullptr);
    }
}

// Every byte of two files changed in turn, the small one to every value, the other to six:
// in shares of the byte positions that ctest runs side by side, each well within its timeout
// on a busy machine under the sanitizers.
constexpr size_t kCorruptionShares = 4;
class DatasetReadCorruption : public ::testing::TestWithParam<size_t> {};

TEST_P(DatasetReadCorruption, SingleByteCorruptionsStaySafe)
{
    for (const char* name : {"/raw_small.dcm", "/ct_undefined_lengths.dcm"}) {
        const std::vector<uint8_t> original = PyrReadWholeFile(std::string(PYR_TEST_DATA_DIR) + name);
        ASSERT_GT(original.size(), kCorruptionShares);
        const bool everyValue = original.size() < 100;
        for (size_t at = GetParam(); at < original.size(); at += kCorruptionShares) {
            std::vector<uint8_t> bytes = original;
            const int values = everyValue ? 256 : 6;
            for (int v = 0; v < values; ++v) {
                static const uint8_t kPicks[] = {0x00, 0xFF, 0x7F, 0x80, 0x01, 0xFE};
                bytes[at] = everyValue ? static_cast<uint8_t>(v) : static_cast<uint8_t>(original[at] ^ kPicks[v]);
                Parsed p(bytes);
                // A reader that stays within the source never reads more than it holds.
                EXPECT_LE(p.dataset.GetStreamPosition(), bytes.size() + 8) << at;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Share, DatasetReadCorruption, ::testing::Range(size_t(0), kCorruptionShares));

TEST(DatasetRead, OneReadPerHeaderAndValue)
{
    PyrByteSource file(PyrReadWholeFile(PYR_TEST_DATA_DIR "/DICOMDIR"));
    ASSERT_GT(file.Size(), 0);
    PyrDicomDataset dataset;
    ASSERT_EQ(file.ReadInto(dataset), kPyrSuccess);
    const uint64_t elements = PyrFlatten(dataset.GetRoot()).size();
    ASSERT_GT(elements, 50u);
    EXPECT_LE(file.reads, 3 * elements);
    EXPECT_EQ(file.seeks, 0u);
}

}   // namespace
