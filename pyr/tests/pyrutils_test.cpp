#include "pyr/pyrutils.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/platlock.h"
#include "pyrlogrecorder.h"

namespace {

class PyrUtils : public ::testing::Test {
protected:
    void SetUp() override
    {
        pyrutils::SetLogWriter(&recorder);
        dir = std::filesystem::temp_directory_path() / ("pyr_utils_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
    }
    void TearDown() override
    {
        pyrutils::SetLogWriter(nullptr);
        std::filesystem::remove_all(dir);
    }
    static PyrString Wide(const std::filesystem::path& path)
    {
        const std::string s = path.string();
        const std::u16string w(s.begin(), s.end());
        return PyrString(w.c_str());
    }
    PyrLogRecorder recorder;
    std::filesystem::path dir;
};

TEST_F(PyrUtils, DeleteFile)
{
    const auto file = dir / "a.tmp";
    std::ofstream(file) << "x";
    ASSERT_TRUE(pyrutils::PathFileExists(Wide(file)));
    EXPECT_EQ(pyrutils::DeleteFileW(Wide(file)), kPyrSuccess);
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_TRUE(recorder.entries.empty());

    EXPECT_EQ(pyrutils::DeleteFileW(Wide(file)), kPyrSuccess);   // already gone
    ASSERT_EQ(recorder.entries.size(), 1u);
    EXPECT_EQ(recorder.entries[0].message,
              u"The path does not exist. May be already removed. ('" + std::u16string(Wide(file).View()) + u"')");

    recorder.entries.clear();
    EXPECT_EQ(pyrutils::DeleteFileW(PyrString()), kPyrBadArgument);
    ASSERT_EQ(recorder.entries.size(), 1u);
    EXPECT_EQ(recorder.entries[0].code, 10);
}

TEST_F(PyrUtils, DeletingADirectoryIsRefused)
{
    EXPECT_EQ(pyrutils::DeleteFileW(Wide(dir)), kPyrAccessDenied);
    EXPECT_TRUE(std::filesystem::exists(dir));
    ASSERT_EQ(recorder.entries.size(), 2u);   // the system error, then the path message
    EXPECT_EQ(recorder.entries[0].message.rfind(u"Windows API error(21):", 0), 0u);
    EXPECT_EQ(recorder.entries[1].message, u"The access denied. ('" + std::u16string(Wide(dir).View()) + u"')");
    EXPECT_EQ(recorder.entries[1].code, 1004);
}

TEST_F(PyrUtils, PathsThatCannotBeNamedAreInvalid)
{
    const char16_t loneSurrogate[] = {u'/', u't', 0xDC00, 0};
    EXPECT_EQ(pyrutils::DeleteFileW(PyrString(loneSurrogate)), kPyrPathInvalid);
    EXPECT_FALSE(pyrutils::PathFileExists(PyrString(loneSurrogate)));
}

TEST(PyrUtilsNames, DisplayNameFromSignature)
{
    EXPECT_EQ(pyrutils::DisplayNameFromSignature("int __thiscall PyrDicomDataElement::Unmap(void)"),
              u"PyrDicomDataElement::Unmap");
    EXPECT_EQ(pyrutils::DisplayNameFromSignature("uint32_t pyrutils::DeleteFileW(const PyrString&)"),
              u"pyrutils::DeleteFileW");
    EXPECT_EQ(pyrutils::DisplayNameFromSignature("void Helper(int)"), u"(global)::Helper");
    EXPECT_EQ(pyrutils::DisplayNameFromSignature("()"), u"(unknown)");
    EXPECT_EQ(pyrutils::DisplayNameFromSignature(nullptr), u"(unknown)");
}

TEST(PyrLibrary, StartUpStateIsThere)
{
    EXPECT_EQ(PyrGetLogWriter(), nullptr);
    EXPECT_EQ(pyrutils::GetLogWriter(), &PyrNullLogWriter::Instance());
    PlatRecursiveLock* lock = PyrGetGlobalLock();
    ASSERT_NE(lock, nullptr);
    lock->Lock();
    lock->Lock();   // recursive
    lock->Unlock();
    lock->Unlock();
}

}   // namespace
