// Values far longer than their VR allows, as hostile files hold them: each getter reads a
// number, a short code or the character sets from the value's first bytes only, and a list
// in one pass as far as it is asked.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "pyr/pyrdicomdataelement.h"
#include "pyr/pyrdicomdataset.h"
#include "pyrfailingnew.h"

namespace {

// Values in memory of their own, of which only the first bytes can be read once guarded: a
// getter that reads further faults at once.
class GuardedValues : public PyrIValueAllocator {
public:
    ~GuardedValues() override
    {
        for (const auto& [block, length] : blocks_) {
            munmap(block, length);
        }
    }
    bool Allocate(void** handle, PyrIRelocationEvent*, uint32_t size) override
    {
        const size_t length = Pages(size);
        void* block = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED) {
            return false;
        }
        blocks_[block] = length;
        *handle = block;
        return true;
    }
    void Free(void* handle) override
    {
        munmap(handle, blocks_[handle]);
        blocks_.erase(handle);
    }
    void Resolve(void**) override {}
    // Everything after the value's first page is closed.
    void Guard(const uint8_t* value)
    {
        auto* block = const_cast<uint8_t*>(value);
        const size_t page = Pages(1);
        ASSERT_EQ(mprotect(block + page, blocks_[block] - page, PROT_NONE), 0);
    }
    // The whole pages of the value's first `bytes` are closed.
    void CloseBelow(const uint8_t* value, size_t bytes)
    {
        const size_t page = Pages(1);
        if (bytes >= page) {
            ASSERT_EQ(mprotect(const_cast<uint8_t*>(value), bytes / page * page, PROT_NONE), 0);
        }
    }
    static size_t Pages(size_t bytes)
    {
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        return (bytes + page - 1) / page * page;
    }

private:
    std::map<void*, size_t> blocks_;
};

constexpr uint32_t kLong = 16u << 20;

class LongValuesTest : public ::testing::Test {
protected:
    LongValuesTest()
    {
        PyrDicomDatasetOptions options;
        options.valueAllocator = &guarded;
        options.allocatorThreshold = 64;
        dataset.SetOptions(options);
    }

    // A child of the root whose value starts with `head`, goes on with `fill` to the end of
    // its first page, and is `length` bytes long; only that page can be read.
    PyrDicomDataElement* PutLong(uint32_t group, uint32_t element, PyrDicomVR vr, const std::string& head, char fill,
                                 uint32_t length = kLong)
    {
        PyrDicomDataElement* e = Put(group, element, vr, std::string(), length);
        std::memset(e->MutableValue(), fill, GuardedValues::Pages(1));
        std::memcpy(e->MutableValue(), head.data(), head.size());
        guarded.Guard(e->GetValue());
        return e;
    }

    PyrDicomDataElement* Put(uint32_t group, uint32_t element, PyrDicomVR vr, const std::string& bytes,
                             uint32_t length = 0)
    {
        PyrDicomDataElement* e = dataset.CreateElement();
        e->SetGroup(group);
        e->SetElement(element);
        e->SetVR(vr);
        EXPECT_EQ(e->AllocateValue(length != 0 ? length : uint32_t(bytes.size()), false), kPyrSuccess);
        std::memcpy(e->MutableValue(), bytes.data(), bytes.size());
        EXPECT_EQ(dataset.GetRoot()->SetChildElement(e), kPyrSuccess);
        return e;
    }

    GuardedValues guarded;   // outlives the dataset, which frees its values through it
    PyrDicomDataset dataset;
};

TEST_F(LongValuesTest, NumbersAreReadFromTheirOwnBytesWithoutACopy)
{
    const PyrDicomDataElement* is = PutLong(0x0028, 0x0008, PyrVR::IS, "  42\\-7\\9", '\\');
    const PyrDicomDataElement* ds = PutLong(0x0028, 0x1053, PyrVR::DS, "-125.5\\1e2\\", '\\');
    uint32_t u = 0;
    int32_t s = 0;
    double d = 0;
    // Values of a value that runs on for megabytes are found among its bytes, none copied,
    // and each read to its own end only.
    PyrFailingNew::Arm(0);
    EXPECT_EQ(is->GetULong(u), kPyrSuccess);
    EXPECT_EQ(u, 42u);
    EXPECT_EQ(is->GetLong(s, PyrVR::Unset, 1), kPyrSuccess);
    EXPECT_EQ(s, -7);
    EXPECT_EQ(is->GetDouble(d), kPyrSuccess);
    EXPECT_EQ(d, 42.0);
    EXPECT_EQ(is->GetULong(u, PyrVR::Unset, 2), kPyrSuccess);
    EXPECT_EQ(u, 9u);
    EXPECT_EQ(ds->GetDouble(d), kPyrSuccess);
    EXPECT_EQ(d, -125.5);
    EXPECT_EQ(ds->GetDouble(d, PyrVR::Unset, 1), kPyrSuccess);
    EXPECT_EQ(d, 100.0);
    EXPECT_EQ(PyrFailingNew::Allocations(), 0u);

    // A number of megabytes of digits is read whole, without memory of its size: too large
    // for any type, it is no value.
    const PyrDicomDataElement* threes = Put(0x0020, 0x0013, PyrVR::IS, std::string(kLong, '3'));
    const PyrDicomDataElement* sevens = Put(0x0018, 0x0050, PyrVR::DS, std::string(kLong, '7'));
    const PyrDicomDataElement* small = Put(0x0018, 0x0088, PyrVR::DS, "0." + std::string(kLong, '0') + "7");
    PyrFailingNew::Arm(0);
    EXPECT_EQ(threes->GetLong(s), kPyrNoValue);
    EXPECT_EQ(threes->GetDouble(d), kPyrNoValue);
    EXPECT_EQ(sevens->GetDouble(d), kPyrNoValue);
    d = 1;
    EXPECT_EQ(small->GetDouble(d), kPyrSuccess);
    EXPECT_EQ(d, 0.0);
    EXPECT_EQ(PyrFailingNew::Allocations(), 0u);

    // Well-formed values at their longest read whole.
    EXPECT_EQ(Put(0x0020, 0x0013, PyrVR::IS, "+00000000042")->GetLong(s), kPyrSuccess);
    EXPECT_EQ(s, 42);
    EXPECT_EQ(Put(0x0028, 0x1052, PyrVR::DS, " -1.234567890123")->GetDouble(d), kPyrSuccess);
    EXPECT_EQ(d, -1.234567890123);
    // Longer than a DS may be, as some writers make them, its exponent last.
    EXPECT_EQ(Put(0x0028, 0x0030, PyrVR::DS, "1.23456789012e-05\\0.488281250000000000")->GetDouble(d), kPyrSuccess);
    EXPECT_EQ(d, 1.23456789012e-05);
    EXPECT_EQ(Put(0x0028, 0x0031, PyrVR::DS, "0.488281250000000000e1")->GetDouble(d), kPyrSuccess);
    EXPECT_EQ(d, 4.8828125);
}

TEST_F(LongValuesTest, ListsAreReadInOnePassAsFarAsAsked)
{
    // 32,767 values, each read from where the one before ended: the pages behind the reader
    // are closed as it goes. They are read without a copy of any, and counted among the bytes.
    std::string list;
    std::vector<size_t> starts;
    for (uint32_t i = 1; i <= 32767; ++i) {
        list += i > 1 ? "\\" : "";
        starts.push_back(list.size());
        list += std::to_string(i);
    }
    const PyrDicomDataElement* detectors = Put(0x0054, 0x0020, PyrVR::IS, list + " ");
    PyrFailingNew::Arm(0);
    EXPECT_EQ(detectors->GetMultiplicity(), 32767u);
    PyrDicomValueReader all(*detectors);
    uint32_t wrong = 0;
    uint32_t v = 0;
    while (!all.AtEnd()) {
        const uint32_t index = all.GetIndex();
        guarded.CloseBelow(detectors->GetValue(), starts[index]);
        wrong += all.NextULong(v) != kPyrSuccess || v != index + 1 ? 1 : 0;
    }
    EXPECT_EQ(PyrFailingNew::Allocations(), 0u);
    EXPECT_EQ(all.GetIndex(), 32767u);
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(all.NextULong(v), kPyrNoValue);

    // Of a list megabytes long only the values asked for, and the next one's start, are read.
    const PyrDicomDataElement* lut = PutLong(0x0028, 0x3002, PyrVR::IS, "10\\ 20\\30\\4", '\\');
    PyrDicomValueReader first(*lut);
    int32_t s = 0;
    for (int32_t expected : {10, 20, 30, 4}) {
        ASSERT_FALSE(first.AtEnd());
        EXPECT_EQ(first.NextLong(s), kPyrSuccess);
        EXPECT_EQ(s, expected);
    }
    std::string words;
    for (uint16_t i = 0; i < 3; ++i) {
        words.append(reinterpret_cast<const char*>(&i), 2);
    }
    const PyrDicomDataElement* us = PutLong(0x0028, 0x3006, PyrVR::US, words, '\0');
    PyrDicomValueReader items(*us);
    for (uint32_t expected : {0u, 1u, 2u, 0u}) {
        EXPECT_EQ(items.NextULong(v), kPyrSuccess);
        EXPECT_EQ(v, expected);
    }

    // Text values one by one, the padding cut where it ends the value, a zero byte ending them.
    PyrDicomValueReader text(*Put(0x0008, 0x0008, PyrVR::CS, std::string(" AXIAL \\HELICAL\0\\X", 18)));
    PyrString piece;
    EXPECT_EQ(text.NextString(piece), kPyrSuccess);
    EXPECT_EQ(piece.View(), u"AXIAL ");
    EXPECT_EQ(text.NextString(piece), kPyrSuccess);
    EXPECT_EQ(piece.View(), u"HELICAL");
    EXPECT_TRUE(text.AtEnd());
    PyrDicomValueReader padded(*Put(0x0008, 0x0009, PyrVR::CS, std::string("A\\B \0 ", 6)));
    EXPECT_EQ(padded.NextString(piece), kPyrSuccess);
    EXPECT_EQ(padded.NextString(piece), kPyrSuccess);
    EXPECT_EQ(piece.View(), u"B");
    EXPECT_TRUE(padded.AtEnd());
}

TEST_F(LongValuesTest, CharacterSetIsReadFromItsFirstValues)
{
    // The first value names UTF-8; the second runs on for megabytes.
    PutLong(0x0008, 0x0005, PyrVR::CS, "ISO_IR 192\\", 'X');
    const PyrDicomDataElement* name = Put(0x0010, 0x0010, PyrVR::PN, "Ab\xC3\xA9");
    PyrString text;
    EXPECT_EQ(name->GetStringValue(text), kPyrSuccess);
    EXPECT_EQ(text.View(), u"Ab\u00E9");
}

TEST_F(LongValuesTest, CharacterSetCutInsideATermLeavesThatTermOut)
{
    // "ISO_IR 138" where the values read end: its first nine bytes would name another set.
    const std::string head = "ISO_IR 192\\" + std::string(115, 'Y') + "\\ISO_IR 138\\";
    ASSERT_EQ(head.find("ISO_IR 13"), 136u - 9);
    PutLong(0x0008, 0x0005, PyrVR::CS, head, 'X');
    const PyrDicomDataElement* name = Put(0x0010, 0x0010, PyrVR::PN, "\xC3\xA9");
    PyrString text;
    EXPECT_EQ(name->GetStringValue(text), kPyrSuccess);
    EXPECT_EQ(text.View(), u"\u00E9");
}

TEST_F(LongValuesTest, ShortStringsStopPastTheirLength)
{
    PyrString text;
    const PyrDicomDataElement* longer = PutLong(0x0028, 0x0004, PyrVR::CS, "MONOCHROME2", 'X');
    EXPECT_EQ(longer->GetShortString(text, 16), kPyrSuccess);
    EXPECT_EQ(text.View(), u"MONOCHROME2XXXXXX");

    // Padding of any length is skipped; a zero byte ends the text as for the whole value.
    EXPECT_EQ(Put(0x0028, 0x0005, PyrVR::CS, "   RGB" + std::string(200, ' '))->GetShortString(text, 16), kPyrSuccess);
    EXPECT_EQ(text.View(), u"RGB");
    EXPECT_EQ(Put(0x0028, 0x0006, PyrVR::CS, std::string("RGB\0", 4) + std::string(200, 'X'))->GetShortString(text, 16),
              kPyrSuccess);
    EXPECT_EQ(text.View(), u"RGB");
    EXPECT_EQ(Put(0x0028, 0x0007, PyrVR::CS, "RGB" + std::string(20, ' ') + "X")->GetShortString(text, 16),
              kPyrSuccess);
    EXPECT_NE(text.View(), u"RGB");
    EXPECT_EQ(Put(0x0002, 0x0010, PyrVR::UI, std::string("1.2.840.10008.1.2.1\0", 20))->GetShortString(text, 64),
              kPyrSuccess);
    EXPECT_EQ(text.View(), u"1.2.840.10008.1.2.1");
}

}   // namespace
