#include <gtest/gtest.h>

#include <fcntl.h>
#include <malloc.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "plat_temp_folder.h"
#include "shell/xevziparchive.h"
#include "testsupport/slowdisc.h"
#include "testsupport/zipmaker.h"
#include "zipfuzzentry.h"

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's runtime has it; g++ ships no header of it.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

// Bytes the allocator has handed out and not taken back: AddressSanitizer's allocator keeps
// malloc's own count at nothing.
size_t HeapInUse()
{
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

namespace fs = std::filesystem;

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

size_t CountFiles(const std::string& folder)
{
    size_t count = 0;
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(folder, ignored); it != fs::recursive_directory_iterator(); ++it) {
        ++count;
    }
    return count;
}

// A temporary folder as the program's temporary folder, with a canary beside the folder the
// archive work extracts to.
class ZipTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tmpEnv_.emplace("TMPDIR", temp_.Path().c_str());
        kestro_ = temp_.Path() + "/Kestro";
        canary_ = temp_.Path() + "/canary";
        WriteFile(canary_, "canary");
        zip_ = temp_.Path() + "/a.zip";
    }
    void TearDown() override
    {
        EXPECT_EQ(ReadFile(canary_), "canary");
        tmpEnv_.reset();
    }

    PlatTempFolder temp_;
    std::string kestro_;
    std::string canary_;
    std::string zip_;
    std::optional<ScopedEnv> tmpEnv_;
};

TEST_F(ZipTest, ListsAndExtractsByFullName)
{
    const std::string longName = "D/" + std::string(300, 'n');
    const std::string big(3 * kZipCopyBufferSize / 2 + 7, 'b');
    ASSERT_TRUE(MakeZip(zip_, {{"first", "one"}, {longName, "long"}, {"big", big}}));

    ZipArchive archive;
    std::vector<std::string> names;
    std::vector<unz_file_info64> infos;
    EXPECT_EQ(archive.List(names, infos), kZipNotOpen);
    EXPECT_EQ(archive.Extract("first", temp_.Path() + "/x"), kZipNotOpen);
    EXPECT_EQ(archive.Close(), kZipNotOpen);
    EXPECT_EQ(archive.Open(canary_), kZipOpenFailed);
    ASSERT_EQ(archive.Open(zip_), kZipOk);
    ASSERT_EQ(archive.List(names, infos), kZipOk);
    EXPECT_EQ(names, (std::vector<std::string>{"first", longName, "big"}));
    ASSERT_EQ(infos.size(), 3u);
    EXPECT_EQ(infos[2].uncompressed_size, big.size());

    EXPECT_EQ(archive.Extract(longName, temp_.Path() + "/l"), kZipOk);
    EXPECT_EQ(ReadFile(temp_.Path() + "/l"), "long");
    EXPECT_EQ(archive.Extract("big", temp_.Path() + "/b"), kZipOk);
    EXPECT_EQ(ReadFile(temp_.Path() + "/b"), big);
    EXPECT_EQ(archive.Extract("First", temp_.Path() + "/f"), kZipNotFound);
    EXPECT_FALSE(fs::exists(temp_.Path() + "/f"));
    EXPECT_EQ(archive.Close(), kZipOk);

    EXPECT_TRUE(IsZipFile(zip_));
    EXPECT_FALSE(IsZipFile(canary_));
    EXPECT_FALSE(IsZipFile(temp_.Path() + "/missing"));
    const std::string fifo = temp_.Path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(IsZipFile(fifo));
}

TEST(ZipNames, MatchingAndTheDicomDirEntry)
{
    unz_file_info64 plain{};
    plain.version = (3u << 8) | 20u;
    plain.external_fa = (S_IFREG | 0644u) << 16;
    unz_file_info64 link = plain;
    link.external_fa = (S_IFLNK | 0777u) << 16;
    for (const char* hostile : {"../x", "a/../../x", "a\\..\\x", "/x", "\\x", "C:\\x", "c:x"}) {
        EXPECT_FALSE(IsSafeZipMember(hostile, plain)) << hostile;
    }
    EXPECT_FALSE(IsSafeZipMember(std::string("a\0b", 3), plain));
    EXPECT_FALSE(IsSafeZipMember("x", link));
    EXPECT_TRUE(IsSafeZipMember("a/..b/x", plain));
    // Other hosts keep other meanings in the upper bits.
    unz_file_info64 dos = link;
    dos.version = 20;
    EXPECT_TRUE(IsSafeZipMember("x", dos));

    for (const char* other : {"OLD_DICOMDIR", "DICOMDIR_A/DICOMDIR", "dicomdir", "../DICOMDIR", "DICOMDIR/"}) {
        EXPECT_FALSE(IsDicomDirEntry(other, plain)) << other;
    }
    EXPECT_TRUE(IsDicomDirEntry("CD/DICOMDIR", plain));
    EXPECT_TRUE(IsDicomDirEntry("CD\\DICOMDIR", plain));
    EXPECT_TRUE(IsDicomDirEntry("DICOMDIR", plain));
    EXPECT_FALSE(IsDicomDirEntry("DICOMDIR", link));
}

TEST_F(ZipTest, DicmMarker)
{
    const std::string dicm = temp_.Path() + "/dicm";
    WriteFile(dicm, std::string(128, '\0') + "DICM");
    EXPECT_TRUE(HasDicmMarker(dicm));
    WriteFile(dicm, std::string(128, '\0') + "DIC");
    EXPECT_FALSE(HasDicmMarker(dicm));
    EXPECT_FALSE(HasDicmMarker(canary_));
    EXPECT_FALSE(HasDicmMarker(temp_.Path() + "/missing"));
    // A file that begins as a zip is still looked at as one, whatever lies at 128.
    WriteFile(dicm, "PK" + std::string(126, '\0') + "DICM");
    EXPECT_TRUE(ReadFileMarks(dicm).zipStart);
    EXPECT_TRUE(ReadFileMarks(dicm).dicm);
    WriteFile(dicm, std::string(128, '\0') + "DICM");
    EXPECT_FALSE(ReadFileMarks(dicm).zipStart);
}

TEST_F(ZipTest, ImportAndOnDemandExtraction)
{
    ASSERT_TRUE(MakeZip(zip_, {{"CD/IMAGES/XIM1", "wrong"}, {"CD/DICOMDIR", "dir"}, {"CD/IMAGES/IM1", "image"}}));
    ASSERT_TRUE(XEVExtractArchiveDicomDir(zip_, kestro_));
    EXPECT_EQ(ReadFile(kestro_ + "/DICOMDIR"), "dir");
    struct stat st {};
    ASSERT_EQ(::stat(kestro_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // The loaders name the file as the DICOMDIR does, with either separator.
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/IMAGES\\IM1", ""), kZipOk);
    EXPECT_EQ(ReadFile(kestro_ + "/IMAGES/IM1"), "image");
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/IMAGES/IM2", ""), kZipNoMatch);
    EXPECT_FALSE(fs::exists(kestro_ + "/IMAGES/IM2"));

    // A second archive starts from an empty folder.
    const std::string second = temp_.Path() + "/b.zip";
    ASSERT_TRUE(MakeZip(second, {{"DICOMDIR", "dir2"}}));
    ASSERT_TRUE(XEVExtractArchiveDicomDir(second, kestro_));
    EXPECT_EQ(ReadFile(kestro_ + "/DICOMDIR"), "dir2");
    EXPECT_FALSE(fs::exists(kestro_ + "/IMAGES"));

    // No DICOMDIR, or no archive: refused, and the folder goes.
    ASSERT_TRUE(MakeZip(second, {{"OLD_DICOMDIR", "x"}}));
    EXPECT_FALSE(XEVExtractArchiveDicomDir(second, kestro_));
    EXPECT_FALSE(XEVExtractArchiveDicomDir(canary_, kestro_));
    EXPECT_TRUE(XEVDeleteExtractFolder(kestro_));
    EXPECT_FALSE(fs::exists(kestro_));
}

// Each import lands in a folder of its own inside the copy's extraction folder, never over an
// earlier one, which stays as it was; one that fails leaves nothing. What a path stands for
// among the members is told from the index, nothing written. The end takes every folder with it.
TEST_F(ZipTest, ImportsApartAndWhatAPathStandsFor)
{
    ASSERT_TRUE(MakeZip(zip_, {{"CD/DICOMDIR", "dir"},
                               {"CD/IMG/IM1", "image"},
                               {"CD/IMG/LINK", "/etc/hostname", true},
                               {"CD/IMG/HUGE", ZipMakerDeflatedZeros(2048), false, uint64_t(1) << 31, Z_DEFLATED, 0}}));
    const std::string own = XEVGetExtractFolder();
    const std::string first = XEVExtractArchiveDicomDirApart(zip_);
    const std::string second = XEVExtractArchiveDicomDirApart(zip_);
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    EXPECT_NE(first, second);
    for (const std::string& folder : {first, second}) {
        EXPECT_EQ(fs::path(folder).parent_path().string(), own);
        EXPECT_EQ(ReadFile(folder + "/DICOMDIR"), "dir");
        struct stat st {};
        ASSERT_EQ(::stat(folder.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
    }

    EXPECT_EQ(ZipMemberStatus(zip_, first, first + "/IMG/IM1"), kZipOk);
    EXPECT_EQ(ZipMemberStatus(zip_, first, first + "/img\\im1"), kZipOk);
    EXPECT_EQ(ZipMemberStatus(zip_, first, first + "/IMG/LINK"), kZipLink);
    EXPECT_EQ(ZipMemberStatus(zip_, first, first + "/IMG/HUGE"), kZipUnreadable);
    EXPECT_EQ(ZipMemberStatus(zip_, first, first + "/IMG/NONE"), kZipNoMatch);
    EXPECT_EQ(ZipMemberStatus(zip_, first, own + "/IMG/IM1"), kZipNoMatch);
    EXPECT_EQ(ZipMemberStatus(canary_, first, first + "/IMG/IM1"), kZipOpenFailed);
    EXPECT_FALSE(fs::exists(first + "/IMG"));

    // One folder removed leaves the other and the copy's lock.
    ASSERT_EQ(ExtractZipMember(zip_, first, first + "/IMG/IM1", ""), kZipOk);
    EXPECT_TRUE(XEVDeleteExtractFolder(first));
    EXPECT_FALSE(fs::exists(first));
    EXPECT_EQ(ReadFile(second + "/DICOMDIR"), "dir");
    EXPECT_TRUE(fs::exists(own + "/" + kXEVExtractLockName));

    // No DICOMDIR, or no archive: nothing is left of the attempt.
    const std::string none = temp_.Path() + "/none.zip";
    ASSERT_TRUE(MakeZip(none, {{"OLD_DICOMDIR", "x"}}));
    EXPECT_TRUE(XEVExtractArchiveDicomDirApart(none).empty());
    EXPECT_TRUE(XEVExtractArchiveDicomDirApart(canary_).empty());
    EXPECT_EQ(std::distance(fs::directory_iterator(own), fs::directory_iterator()), 2);

    XEVEndExtractFolder();
    EXPECT_FALSE(fs::exists(own));
    EXPECT_TRUE(XEVDeleteExtractFolder(second));
}

TEST_F(ZipTest, HostileMembersAndPathsExtractNothing)
{
    ASSERT_TRUE(MakeZip(zip_, {{"../canary", "evil"},
                               {"/canary", "evil"},
                               {"C:\\canary", "evil"},
                               {"canary", "evil", true},
                               {"DICOMDIR", "dir"},
                               {"X", "x"},
                               {"IMG/X", "x"}}));
    ASSERT_TRUE(XEVExtractArchiveDicomDir(zip_, kestro_));
    // The link among them is found as a link, and refused as one.
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/canary", ""), kZipLink);
    EXPECT_FALSE(fs::exists(kestro_ + "/canary"));
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/..\\..\\X", ""), kZipNoMatch);
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/A/../../X", ""), kZipNoMatch);
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, temp_.Path() + "/X", ""), kZipNoMatch);
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/A/X", temp_.Path() + "/X"), kZipNoMatch);
    EXPECT_FALSE(fs::exists(temp_.Path() + "/X"));
    EXPECT_FALSE(fs::exists(fs::path(temp_.Path()).parent_path() / "X"));

    // A link planted inside the folder is not followed.
    const std::string outside = temp_.Path() + "/outside";
    fs::create_directory(outside);
    fs::create_directory_symlink(outside, kestro_ + "/IMG");
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/IMG/X", ""), kZipCreateFailed);
    fs::create_symlink(canary_, kestro_ + "/Y");
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/X", kestro_ + "/Y"), kZipOk);
    EXPECT_EQ(ReadFile(kestro_ + "/Y"), "x");
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_EQ(CountFiles(kestro_), 3u);   // DICOMDIR, IMG, Y
}

TEST_F(ZipTest, ForeignExtractFolderIsNeitherUsedNorDeleted)
{
    ASSERT_TRUE(MakeZip(zip_, {{"DICOMDIR", "dir"}}));
    const std::string target = temp_.Path() + "/target";
    fs::create_directory(target);
    WriteFile(target + "/keep", "keep");

    fs::create_directory_symlink(target, kestro_);
    EXPECT_FALSE(XEVPrepareExtractFolder(kestro_));
    EXPECT_FALSE(XEVDeleteExtractFolder(kestro_));
    EXPECT_FALSE(XEVExtractArchiveDicomDir(zip_, kestro_));
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/DICOMDIR", ""), kZipCreateFailed);
    EXPECT_EQ(ReadFile(target + "/keep"), "keep");
    EXPECT_EQ(CountFiles(target), 1u);
    fs::remove(kestro_);

    WriteFile(kestro_, "file");
    EXPECT_FALSE(XEVExtractArchiveDicomDir(zip_, kestro_));
    EXPECT_EQ(ReadFile(kestro_), "file");
    fs::remove(kestro_);

    if (::geteuid() == 0) {
        fs::create_directory(kestro_);
        WriteFile(kestro_ + "/keep", "keep");
        ASSERT_EQ(::chown(kestro_.c_str(), 65534, 65534), 0);
        EXPECT_FALSE(XEVExtractArchiveDicomDir(zip_, kestro_));
        EXPECT_EQ(ReadFile(kestro_ + "/keep"), "keep");
    }
}

TEST_F(ZipTest, DataEndingEarlyFailsAndLeavesNothing)
{
    ASSERT_TRUE(MakeZip(zip_, {{"DICOMDIR", "dir"}, {"SHORT", std::string(1000, 's'), false, 5000}}));
    ASSERT_TRUE(XEVExtractArchiveDicomDir(zip_, kestro_));
    WriteFile(kestro_ + "/SHORT", "old");
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/SHORT", ""), kZipReadFailed);
    EXPECT_EQ(ReadFile(kestro_ + "/SHORT"), "old");
    EXPECT_EQ(CountFiles(kestro_), 2u);
}

TEST_F(ZipTest, AStopEndsAnExtractionWithinOneBlockAndLeavesNothing)
{
    // 24 MiB stored and 64 MiB of one repeated byte deflated (64 KiB packed): each copied in
    // blocks, the stop seen and the medium offered to others between them; the deflated one's
    // blocks go by what it writes, a few MiB each, never one per MiB.
    const std::string stored(24 * kZipCopyBufferSize, 's');
    const std::map<std::string, uint64_t> sizes{{"STORED", stored.size()}, {"DEFLATED", 4 * kZipOutputBlock}};
    ASSERT_TRUE(MakeZip(zip_, {{"DICOMDIR", "dir"},
                               {"STORED", stored, false, stored.size(), 0},
                               {"DEFLATED", std::string(sizes.at("DEFLATED"), 'd')}}));
    ASSERT_TRUE(XEVExtractArchiveDicomDir(zip_, kestro_));
    for (const char* name : {"STORED", "DEFLATED"}) {
        const size_t files = CountFiles(kestro_);
        std::atomic<int32_t> stop{0};
        int betweens = 0;
        XEVZipCopyControl control;
        control.stop = &stop;
        control.between = [&] {
            if (++betweens == 3) {
                stop = 1;
            }
        };
        EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/" + name, "", &control), kZipStopped) << name;
        EXPECT_EQ(betweens, 3) << name;
        EXPECT_FALSE(fs::exists(kestro_ + "/" + name)) << name;
        EXPECT_EQ(CountFiles(kestro_), files) << name;   // no partial copy left

        // Unstopped, the same member comes out whole, handing the medium on between blocks.
        stop = 0;
        betweens = 0;
        control.between = [&] { ++betweens; };
        EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/" + name, "", &control), kZipOk) << name;
        EXPECT_EQ(fs::file_size(kestro_ + "/" + name), sizes.at(name)) << name;
        EXPECT_GE(betweens, 3) << name;
        // Stored, a block is a MiB read; deflated, what a block writes.
        EXPECT_LE(uint64_t(betweens),
                  sizes.at(name) / (name == std::string("STORED") ? kZipCopyBufferSize : kZipOutputBlock))
            << name;
    }
    // A stop set before the copy writes nothing.
    std::atomic<int32_t> stop{1};
    XEVZipCopyControl control;
    control.stop = &stop;
    fs::remove(kestro_ + "/STORED");
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/STORED", "", &control), kZipStopped);
    EXPECT_FALSE(fs::exists(kestro_ + "/STORED"));
}

TEST_F(ZipTest, TwoThreadsExtractingOneMemberMatchUnzip)
{
    std::string data;
    for (uint32_t i = 0; i < 400000; ++i) {
        data += static_cast<char>((i * 7919u) % 251u);
    }
    ASSERT_TRUE(MakeZip(zip_, {{"DICOMDIR", "dir"}, {"IMG/I1", data}}));
    ASSERT_TRUE(XEVExtractArchiveDicomDir(zip_, kestro_));
    const std::string target = kestro_ + "/IMG/I1";
    int32_t results[2] = {1, 1};
    std::thread a([&] { results[0] = ExtractZipMember(zip_, kestro_, target, ""); });
    std::thread b([&] { results[1] = ExtractZipMember(zip_, kestro_, target, ""); });
    a.join();
    b.join();
    EXPECT_EQ(results[0], kZipOk);
    EXPECT_EQ(results[1], kZipOk);

    std::string expected;
    if (std::FILE* pipe = ::popen(("unzip -p '" + zip_ + "' IMG/I1").c_str(), "r")) {
        char chunk[65536];
        size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
            expected.append(chunk, got);
        }
        ::pclose(pipe);
    }
    EXPECT_EQ(expected.size(), data.size());
    EXPECT_TRUE(ReadFile(target) == expected);
    EXPECT_EQ(CountFiles(kestro_ + "/IMG"), 1u);
}

// Bytes the files below folder hold on disc, each file once however many names it has.
uint64_t DistinctFileBytes(const std::string& folder)
{
    std::set<std::pair<dev_t, ino_t>> seen;
    uint64_t bytes = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        struct stat st {};
        if (::lstat(entry.path().c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            seen.insert({st.st_dev, st.st_ino}).second) {
            bytes += uint64_t(st.st_size);
        }
    }
    return bytes;
}

// Twelve central-directory entries, in two folders, naming one local header of 16 MiB of zeros,
// asked for by four threads at once: the member is written once, every name is a link to that
// copy with its bytes, and the budget is charged once. A name removed comes back as a link.
TEST_F(ZipTest, EntriesOfOneLocalHeaderShareOneCopy)
{
    constexpr uint32_t kMiB = 16;
    ZipMakerMember zeros{"IMG/M00",  ZipMakerDeflatedZeros(kMiB),           false, uint64_t(kMiB) << 20,
                         Z_DEFLATED, ZipMakerZerosCrc(uint64_t(kMiB) << 20)};
    ASSERT_TRUE(MakeZip(zip_, {{"DICOMDIR", "dir"}, zeros, {"IMG/M99", "other"}}));
    std::vector<std::string> names{"IMG/M00"};
    for (int i = 1; i < 12; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, i < 6 ? "IMG/M%02d" : "ALT/M%02d", i);
        names.push_back(name);
    }
    ASSERT_TRUE(ZipMakerAddAliases(zip_, "IMG/M00", std::vector<std::string>(names.begin() + 1, names.end())));
    std::vector<std::string> listed;
    std::vector<unz_file_info64> infos;
    ZipArchive archive;
    ASSERT_EQ(archive.Open(zip_), kZipOk);
    ASSERT_EQ(archive.List(listed, infos), kZipOk);
    ASSERT_EQ(listed.size(), 14u);
    archive.Close();

    ASSERT_TRUE(XEVExtractArchiveDicomDir(zip_, kestro_));
    std::vector<int32_t> results(names.size(), 1);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (size_t i = t; i < names.size(); i += 4) {
                results[i] = ExtractZipMember(zip_, kestro_, kestro_ + "/" + names[i], "");
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    struct stat first {};
    ASSERT_EQ(::stat((kestro_ + "/IMG/M00").c_str(), &first), 0);
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(results[i], kZipOk) << names[i];
        struct stat st {};
        ASSERT_EQ(::stat((kestro_ + "/" + names[i]).c_str(), &st), 0) << names[i];
        EXPECT_EQ(st.st_ino, first.st_ino) << names[i];
    }
    EXPECT_EQ(first.st_nlink, 12u);
    EXPECT_EQ(ReadFile(kestro_ + "/ALT/M11"), std::string(size_t(kMiB) << 20, '\0'));
    const uint64_t oneCopy = 3 + (uint64_t(kMiB) << 20);
    EXPECT_EQ(DistinctFileBytes(kestro_), oneCopy);
    EXPECT_EQ(ZipExtractedBytes(kestro_), oneCopy);

    // Asked again, removed and asked again: the same copy, nothing charged.
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/IMG/M03", ""), kZipOk);
    ASSERT_TRUE(fs::remove(kestro_ + "/IMG/M00"));
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/IMG/M00", ""), kZipOk);
    struct stat again {};
    ASSERT_EQ(::stat((kestro_ + "/IMG/M00").c_str(), &again), 0);
    EXPECT_EQ(again.st_ino, first.st_ino);
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/IMG/M99", ""), kZipOk);
    EXPECT_EQ(ReadFile(kestro_ + "/IMG/M99"), "other");
    EXPECT_EQ(DistinctFileBytes(kestro_), oneCopy + 5);
    EXPECT_EQ(ZipExtractedBytes(kestro_), oneCopy + 5);
}

// A caller asking for a member another caller is writing lets the medium go while it waits (the
// writer's copy may need it) and takes it again before it links that copy; a stop ends its wait.
TEST_F(ZipTest, ACallerWaitingForAnotherCallersCopyLetsTheMediumGo)
{
    const std::string data(8 * kZipCopyBufferSize, 'w');
    ASSERT_TRUE(MakeZip(zip_, {{"DICOMDIR", "dir"}, {"IMG/A", data, false, data.size(), 0}}));
    ASSERT_TRUE(ZipMakerAddAliases(zip_, "IMG/A", {"IMG/B", "IMG/C"}));
    ASSERT_TRUE(XEVExtractArchiveDicomDir(zip_, kestro_));

    std::mutex mutex;
    std::condition_variable changed;
    bool writing = false;
    bool letGo = false;
    XEVZipCopyControl writer;
    writer.between = [&] {
        std::unique_lock<std::mutex> lock(mutex);
        writing = true;
        changed.notify_all();
        // The writer goes on only once the other caller has let the medium go.
        changed.wait_for(lock, std::chrono::seconds(30), [&] { return letGo; });
    };
    int32_t first = 1;
    std::thread a([&] { first = ExtractZipMember(zip_, kestro_, kestro_ + "/IMG/A", "", &writer); });
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(30), [&] { return writing; }));
    }
    // A stopped caller waits no longer.
    std::atomic<int32_t> stop{1};
    std::vector<bool> calls;
    XEVZipCopyControl stopped;
    stopped.stop = &stop;
    stopped.waiting = [&](bool waiting) { calls.push_back(waiting); };
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/IMG/C", "", &stopped), kZipStopped);
    EXPECT_TRUE(calls.empty());
    XEVZipCopyControl waiter;
    waiter.waiting = [&](bool waiting) {
        calls.push_back(waiting);
        std::lock_guard<std::mutex> lock(mutex);
        letGo = letGo || waiting;
        changed.notify_all();
    };
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/IMG/B", "", &waiter), kZipOk);
    a.join();
    EXPECT_EQ(first, kZipOk);
    EXPECT_EQ(calls, (std::vector<bool>{true, false}));
    struct stat one {};
    struct stat two {};
    ASSERT_EQ(::stat((kestro_ + "/IMG/A").c_str(), &one), 0);
    ASSERT_EQ(::stat((kestro_ + "/IMG/B").c_str(), &two), 0);
    EXPECT_EQ(one.st_ino, two.st_ino);
    EXPECT_FALSE(fs::exists(kestro_ + "/IMG/C"));
}

struct BudgetScope {
    explicit BudgetScope(uint64_t budget) : before(SetZipExtractBudget(budget)) {}
    ~BudgetScope() { SetZipExtractBudget(before); }
    uint64_t before;
};

// Members written into one folder count against its budget by their declared sizes: one that
// would pass it is refused before a byte is written, a copy that fails gives its charge back,
// and a new import starts the budget again.
TEST_F(ZipTest, MembersPastTheExtractionBudgetAreRefused)
{
    EXPECT_TRUE(IsZipMemberRefused(kZipOverBudget));
    EXPECT_TRUE(IsZipMemberRefused(kZipUnreadable));
    EXPECT_FALSE(IsZipMemberRefused(kZipNoSpace));
    const std::string one(1u << 20, '1');
    ASSERT_TRUE(MakeZip(zip_, {{"DICOMDIR", "dir"},
                               {"IMG/A", one},
                               {"IMG/B", std::string(1u << 20, '2')},
                               {"IMG/C", std::string(2u << 20, '3')},
                               {"IMG/D", std::string(1u << 19, '4'), false, 1u << 19}}));
    ASSERT_TRUE(ZipMakerAddAliases(zip_, "IMG/A", {"IMG/E"}));
    BudgetScope budget(3 + (uint64_t(5) << 19));   // the DICOMDIR, A, B and D
    ASSERT_TRUE(XEVExtractArchiveDicomDir(zip_, kestro_));
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/IMG/A", ""), kZipOk);
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/IMG/E", ""), kZipOk);
    EXPECT_EQ(ReadFile(kestro_ + "/IMG/E"), one);
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/IMG/B", ""), kZipOk);
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/IMG/C", ""), kZipOverBudget);
    EXPECT_FALSE(fs::exists(kestro_ + "/IMG/C"));
    std::atomic<int32_t> stop{1};
    XEVZipCopyControl control;
    control.stop = &stop;
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/IMG/D", "", &control), kZipStopped);
    EXPECT_EQ(ZipExtractedBytes(kestro_), 3 + (uint64_t(2) << 20));
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/IMG/D", ""), kZipOk);
    EXPECT_EQ(ZipExtractedBytes(kestro_), 3 + (uint64_t(5) << 19));
    EXPECT_EQ(DistinctFileBytes(kestro_), 3 + (uint64_t(5) << 19));

    // Imported again: an empty folder and a new budget.
    ASSERT_TRUE(XEVExtractArchiveDicomDir(zip_, kestro_));
    EXPECT_EQ(ZipExtractedBytes(kestro_), 3u);
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/IMG/C", ""), kZipOk);
    EXPECT_EQ(fs::file_size(kestro_ + "/IMG/C"), 2u << 20);
    EXPECT_TRUE(XEVDeleteExtractFolder(kestro_));
    EXPECT_EQ(ZipExtractedBytes(kestro_), 0u);
}

TEST(ZipFuzzCorpus, ReplaysThroughTheFuzzEntry)
{
    size_t files = 0;
    uint32_t extracted = 0;
    for (const auto& entry : fs::directory_iterator(SHELL_ZIP_FUZZ_CORPUS_DIR)) {
        const std::string bytes = ReadFile(entry.path().string());
        const ZipFuzzReport report = ZipFuzzRead(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        EXPECT_EQ(report.broken, 0u) << entry.path();
        extracted += report.extracted;
        ++files;
    }
    EXPECT_GE(files, 5u);
    EXPECT_GT(extracted, 0u);
}

}   // namespace

namespace {

uint64_t OneGibFree(int)
{
    return uint64_t(1) << 30;
}

struct FreeSpaceScope {
    explicit FreeSpaceScope(ZipFreeSpaceQuery query) : before(SetZipFreeSpaceQuery(query)) {}
    ~FreeSpaceScope() { SetZipFreeSpaceQuery(before); }
    ZipFreeSpaceQuery before;
};

}   // namespace

// 2 GiB of zeros packed in 2 MB, declared as 1 MiB with the CRC of its first MiB: the copy stops
// at the declared size and leaves no file; the same with stored data longer than declared.
TEST_F(ZipTest, DataPastTheDeclaredSizeStopsTheCopy)
{
    const std::string bomb = ZipMakerDeflatedZeros(2048);
    ASSERT_LT(bomb.size(), 3u << 20);
    ZipMakerMember lying{"IMG/BOMB", bomb, false, 1u << 20, Z_DEFLATED, ZipMakerZerosCrc(1u << 20)};
    ZipMakerMember stored{"IMG/LONG", std::string(5000, 'l'), false, 1000};
    ASSERT_TRUE(MakeZip(zip_, {{"DICOMDIR", "dir"}, lying, stored}));
    ASSERT_TRUE(XEVExtractArchiveDicomDir(zip_, kestro_));
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/IMG/BOMB", ""), kZipTooLarge);
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/IMG/LONG", ""), kZipTooLarge);
    EXPECT_EQ(CountFiles(kestro_ + "/IMG"), 0u);
    // Declared honestly, the same member extracts whole where there is room: checked on 8 MiB.
    ZipMakerMember honest{"IMG/ZEROS", ZipMakerDeflatedZeros(8),  false, 8u << 20,
                          Z_DEFLATED,  ZipMakerZerosCrc(8u << 20)};
    ASSERT_TRUE(MakeZip(zip_, {{"DICOMDIR", "dir"}, honest}));
    ASSERT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/IMG/ZEROS", ""), kZipOk);
    EXPECT_EQ(fs::file_size(kestro_ + "/IMG/ZEROS"), 8u << 20);
    EXPECT_EQ(ReadFile(kestro_ + "/IMG/ZEROS"), std::string(8u << 20, '\0'));
}

// A member declared larger than the free space less the margin is never started; the DICOMDIR too.
TEST_F(ZipTest, MemberPastTheFreeSpaceIsNotExtracted)
{
    FreeSpaceScope scope(OneGibFree);
    ZipMakerMember big{"IMG/BIG", ZipMakerDeflatedZeros(1536), false, uint64_t(3) << 29, Z_DEFLATED, 0};
    ZipMakerMember edge{"IMG/EDGE", "x", false, (uint64_t(1) << 30) - kZipFreeSpaceMargin + 1};
    ZipMakerMember fits{"IMG/FITS", "fits"};
    ASSERT_TRUE(MakeZip(zip_, {{"DICOMDIR", "dir"}, big, edge, fits}));
    ASSERT_TRUE(XEVExtractArchiveDicomDir(zip_, kestro_));
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/IMG/BIG", ""), kZipNoSpace);
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/IMG/EDGE", ""), kZipNoSpace);
    EXPECT_EQ(CountFiles(kestro_ + "/IMG"), 0u);
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/IMG/FITS", ""), kZipOk);
    EXPECT_EQ(ReadFile(kestro_ + "/IMG/FITS"), "fits");

    ZipMakerMember dir{"DICOMDIR", "d", false, uint64_t(1) << 30};
    ASSERT_TRUE(MakeZip(zip_, {dir}));
    EXPECT_FALSE(XEVExtractArchiveDicomDir(zip_, kestro_));
    EXPECT_FALSE(fs::exists(kestro_));
}

// A member that declares 2 GiB or more, which the image reader would refuse, is refused before
// anything is written, whatever the room; one byte less goes on to the room check. The same
// for the DICOMDIR.
TEST_F(ZipTest, MemberTheReaderWouldRefuseIsNotExtracted)
{
    FreeSpaceScope scope(OneGibFree);
    const std::string zeros = ZipMakerDeflatedZeros(2048);
    ZipMakerMember refused{"IMG/HUGE", zeros, false, uint64_t(1) << 31, Z_DEFLATED, 0};
    ZipMakerMember largest{"IMG/LARGEST", zeros, false, (uint64_t(1) << 31) - 1, Z_DEFLATED, 0};
    ASSERT_TRUE(MakeZip(zip_, {{"DICOMDIR", "dir"}, refused, largest}));
    ASSERT_TRUE(XEVExtractArchiveDicomDir(zip_, kestro_));
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/IMG/HUGE", ""), kZipUnreadable);
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/IMG/LARGEST", ""), kZipNoSpace);
    EXPECT_EQ(CountFiles(kestro_), 2u);   // DICOMDIR and the folder IMG, empty
    EXPECT_EQ(CountFiles(kestro_ + "/IMG"), 0u);

    SetZipFreeSpaceQuery(nullptr);
    ASSERT_TRUE(MakeZip(zip_, {{"DICOMDIR", zeros, false, uint64_t(1) << 31, Z_DEFLATED, 0}}));
    EXPECT_FALSE(XEVExtractArchiveDicomDir(zip_, kestro_));
    EXPECT_EQ(ReadFile(kestro_ + "/DICOMDIR"), "dir");
}

// Discs repeat file names across folders: each file comes from its own place beside the
// DICOMDIR, with either separator, and from nowhere else: a file at no such place is missing
// even when another folder holds its name. Names compare as a disc's do: the exact spelling
// first, else without regard to case, per component. The index is made once and made again
// when the archive changes.
TEST_F(ZipTest, MembersComeFromTheirOwnPlaceThroughOneIndex)
{
    ASSERT_TRUE(MakeZip(zip_, {{"CD/P1/IM1", "one"},
                               {"CD/DICOMDIR", "dir"},
                               {"CD\\P2\\IM1", "two"},
                               {"ELSEWHERE/IM3", "three"},
                               {"CD/MORE/IM3", "more"},
                               {"CD/Dicom/P2/IM0", "bob"},
                               {"CD/Dicom/P1/IM0", "alice"},
                               {"CD/A/x", "lower"},
                               {"CD/a/X", "upper"},
                               {"CD/P3/", ""}}));
    const uint64_t walks = ZipDirectoryWalks();
    ASSERT_TRUE(ZipHasDicomDir(zip_));
    ASSERT_TRUE(XEVExtractArchiveDicomDir(zip_, kestro_));
    EXPECT_EQ(ReadFile(kestro_ + "/DICOMDIR"), "dir");
    const std::shared_ptr<const ZipMemberIndex> index = ZipIndexOf(zip_);
    ASSERT_NE(index, nullptr);
    EXPECT_EQ(index->Size(), 9u);   // no folder entry
    EXPECT_EQ(ZipIndexOf(zip_), index);

    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/P2/IM1", ""), kZipOk);
    EXPECT_EQ(ReadFile(kestro_ + "/P2/IM1"), "two");
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/P1\\IM1", ""), kZipOk);
    EXPECT_EQ(ReadFile(kestro_ + "/P1/IM1"), "one");
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/P9/IM3", ""), kZipNoMatch);
    EXPECT_FALSE(fs::exists(kestro_ + "/P9/IM3"));
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/P3", ""), kZipNoMatch);
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/DICOM/P2/IM0", ""), kZipOk);
    EXPECT_EQ(ReadFile(kestro_ + "/DICOM/P2/IM0"), "bob");
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/more/im3", ""), kZipOk);
    EXPECT_EQ(ReadFile(kestro_ + "/more/im3"), "more");
    // Two spellings: the exact one, else per component the exact part first.
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/a/X", ""), kZipOk);
    EXPECT_EQ(ReadFile(kestro_ + "/a/X"), "upper");
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/A/X", kestro_ + "/AX"), kZipOk);
    EXPECT_EQ(ReadFile(kestro_ + "/AX"), "lower");
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/a/x", kestro_ + "/ax"), kZipOk);
    EXPECT_EQ(ReadFile(kestro_ + "/ax"), "upper");
    uint64_t size = 0;
    EXPECT_EQ(ZipMemberSize(zip_, kestro_, kestro_ + "/P2/IM1", size), kZipOk);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(ZipMemberSize(zip_, kestro_, kestro_ + "/P2/IM2", size), kZipNoMatch);
    EXPECT_EQ(ZipMemberSize(zip_, kestro_, kestro_ + "/IM1", size), kZipNoMatch);
    EXPECT_EQ(ZipMemberSize(zip_, kestro_, temp_.Path() + "/IM1", size), kZipNoMatch);
    EXPECT_EQ(ZipIndexOf(zip_), index);
    // The check, the import and every member: one walk of the directory.
    EXPECT_EQ(ZipDirectoryWalks() - walks, 1u);

    // Rewritten in place, even at the same sizes: the new members, never the old positions.
    ASSERT_TRUE(MakeZip(zip_, {{"CD/DICOMDIR", "dir"}, {"CD/P2/IM1", "TWO"}, {"CD/P1/IM1", "ONE"}}));
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/P2/IM1", ""), kZipOk);
    EXPECT_EQ(ReadFile(kestro_ + "/P2/IM1"), "TWO");
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/P1/IM1", ""), kZipOk);
    EXPECT_EQ(ReadFile(kestro_ + "/P1/IM1"), "ONE");
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/DICOM/P2/IM0", kestro_ + "/again"), kZipNoMatch);
}

// A member's head is read in place: as far as asked, never past its declared size or the
// limit, and nothing is written. Stored, deflated, lying and broken members.
TEST_F(ZipTest, MemberHeadsAreReadInPlace)
{
    std::string data;
    for (uint32_t i = 0; i < 300000; ++i) {
        data += static_cast<char>((i * 7919u) % 251u);
    }
    std::string broken = ZipMakerDeflatedZeros(1);
    broken.resize(broken.size() / 2);
    ZipMakerMember lying{"IMG/LIE", ZipMakerDeflatedZeros(64), false, 1000, Z_DEFLATED, ZipMakerZerosCrc(1000)};
    ZipMakerMember huge{"IMG/HUGE", ZipMakerDeflatedZeros(200),  false, 200u << 20,
                        Z_DEFLATED, ZipMakerZerosCrc(200u << 20)};
    ZipMakerMember cut{"IMG/CUT", broken, false, 1u << 20, Z_DEFLATED, ZipMakerZerosCrc(1u << 20)};
    ZipMakerMember stored{"IMG/STORED", data, false, data.size()};
    ASSERT_TRUE(MakeZip(zip_, {{"DICOMDIR", "dir"}, {"IMG/DATA", data}, stored, lying, huge, cut}));
    ASSERT_TRUE(XEVExtractArchiveDicomDir(zip_, kestro_));

    for (const char* name : {"/IMG/DATA", "/IMG/STORED"}) {
        ZipMemberHead head;
        ASSERT_EQ(head.Open(zip_, kestro_, kestro_ + name), kZipOk) << name;
        EXPECT_EQ(head.DeclaredSize(), data.size());
        std::string part(100, '\0');
        EXPECT_EQ(head.ReadAt(250000, part.data(), part.size()), 100u);
        EXPECT_EQ(part, data.substr(250000, 100));
        EXPECT_EQ(head.ReadAt(10, part.data(), part.size()), 100u);
        EXPECT_EQ(part, data.substr(10, 100));
        EXPECT_EQ(head.ReadAt(data.size() - 30, part.data(), part.size()), 30u);
        EXPECT_EQ(head.ReadAt(data.size(), part.data(), part.size()), 0u);
    }
    std::string part(4096, 'x');
    ZipMemberHead head;
    ASSERT_EQ(head.Open(zip_, kestro_, kestro_ + "/IMG/LIE"), kZipOk);
    EXPECT_EQ(head.ReadAt(900, part.data(), part.size()), 100u);
    EXPECT_EQ(part.substr(0, 100), std::string(100, '\0'));

    // 200 MiB declared: the head ends at the limit, wherever a reader asks.
    ASSERT_EQ(head.Open(zip_, kestro_, kestro_ + "/IMG/HUGE"), kZipOk);
    EXPECT_EQ(head.DeclaredSize(), 200u << 20);
    EXPECT_EQ(head.ReadAt(0, part.data(), part.size()), part.size());
    EXPECT_EQ(head.ReadAt(150u << 20, part.data(), part.size()), 0u);
    EXPECT_EQ(head.ReadAt(kZipHeadLimit - 10, part.data(), part.size()), 10u);
    ZipMemberHead small;
    ASSERT_EQ(small.Open(zip_, kestro_, kestro_ + "/IMG/HUGE", 8192), kZipOk);
    EXPECT_EQ(small.ReadAt(4096, part.data(), part.size()), part.size());
    EXPECT_EQ(small.ReadAt(8000, part.data(), part.size()), 192u);

    ASSERT_EQ(head.Open(zip_, kestro_, kestro_ + "/IMG/CUT"), kZipOk);
    EXPECT_EQ(head.ReadAt(0, part.data(), part.size()), part.size());
    EXPECT_EQ(head.ReadAt(1000000, part.data(), part.size()), 0u);

    EXPECT_EQ(head.Open(zip_, kestro_, kestro_ + "/IMG/NONE"), kZipNoMatch);
    EXPECT_EQ(head.ReadAt(0, part.data(), part.size()), 0u);
    EXPECT_EQ(head.Open(zip_, kestro_, temp_.Path() + "/IMG/DATA"), kZipNoMatch);
    EXPECT_EQ(head.Open(canary_, kestro_, kestro_ + "/IMG/DATA"), kZipOpenFailed);
    EXPECT_EQ(CountFiles(kestro_), 1u);
}

namespace {

// The lock of an extraction folder is free: no running copy holds it.
bool LockIsFree(const std::string& folder)
{
    const int fd = ::open((folder + "/.owner").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

// A child process that makes its extraction folder, writes a member there and tells its path;
// it then ends at once without its exit's cleanup (a crash), or, with stay, waits until the
// pipe it reads is closed.
struct CopyProcess {
    pid_t pid = -1;
    int hold = -1;
    std::string folder;

    bool Start(bool stay)
    {
        int report[2];
        int wait[2];
        if (::pipe(report) != 0 || ::pipe(wait) != 0) {
            return false;
        }
        pid = ::fork();
        if (pid == 0) {
            ::close(report[0]);
            ::close(wait[1]);
            const std::string made = XEVGetExtractFolder();
            WriteFile(made + "/MEMBER", "m");
            (void)!::write(report[1], made.data(), made.size());
            ::close(report[1]);
            char byte;
            if (stay) {
                (void)!::read(wait[0], &byte, 1);
            }
            _exit(0);
        }
        ::close(report[1]);
        ::close(wait[0]);
        hold = wait[1];
        char buffer[4096];
        ssize_t got = 0;
        while ((got = ::read(report[0], buffer, sizeof buffer)) > 0) {
            folder.append(buffer, size_t(got));
        }
        ::close(report[0]);
        return !folder.empty();
    }
    void End()
    {
        if (hold >= 0) {
            ::close(hold);
            hold = -1;
        }
        if (pid > 0) {
            int status = 0;
            ::waitpid(pid, &status, 0);
            pid = -1;
        }
    }
    ~CopyProcess() { End(); }
};

}   // namespace

// Each copy extracts into a folder of its own, made with mkdtemp in the user's private folder
// of the temporary folder and locked while it runs. Files planted under the names the
// extraction folder had or has ("Kestro", the user's folder) do not stop the archive work: a
// fresh folder beside them serves. Emptying keeps the folder and its lock; the end removes it.
TEST(ExtractFolder, EachCopyExtractsIntoItsOwnLockedFolder)
{
    PlatTempFolder temp;
    ScopedEnv tmpdir("TMPDIR", temp.Path().c_str());
    WriteFile(temp.Path() + "/Kestro", "planted");
    const std::string zip = temp.Path() + "/a.zip";
    ASSERT_TRUE(MakeZip(zip, {{"DICOMDIR", "dir"}, {"IMG/IM1", "one"}}));
    const std::string user = temp.Path() + "/kestro-" + std::to_string(::geteuid());

    const std::string folder = XEVGetExtractFolder();
    EXPECT_EQ(folder.rfind(user + "/x.", 0), 0u) << folder;
    EXPECT_EQ(XEVGetExtractFolder(), folder);
    struct stat st {};
    ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_FALSE(LockIsFree(folder));
    ASSERT_TRUE(XEVExtractArchiveDicomDir(zip, folder));
    ASSERT_EQ(ExtractZipMember(zip, folder, folder + "/IMG/IM1", ""), kZipOk);
    EXPECT_EQ(ReadFile(folder + "/IMG/IM1"), "one");
    EXPECT_TRUE(XEVDeleteExtractFolder(folder));
    EXPECT_EQ(CountFiles(folder), 1u);   // the lock
    EXPECT_FALSE(LockIsFree(folder));
    XEVEndExtractFolder();
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_EQ(ReadFile(temp.Path() + "/Kestro"), "planted");

    // The user's folder taken by a plain file (or, for the superuser, given to another user).
    fs::remove_all(user);
    WriteFile(user, "planted");
    std::string beside = XEVGetExtractFolder();
    EXPECT_EQ(beside.rfind(user + "-x.", 0), 0u) << beside;
    ASSERT_TRUE(XEVExtractArchiveDicomDir(zip, beside));
    EXPECT_EQ(ExtractZipMember(zip, beside, beside + "/IMG/IM1", ""), kZipOk);
    XEVEndExtractFolder();
    EXPECT_FALSE(fs::exists(beside));
    EXPECT_EQ(ReadFile(user), "planted");
    if (::geteuid() == 0) {
        fs::remove(user);
        ASSERT_EQ(::mkdir(user.c_str(), 0777), 0);
        ASSERT_EQ(::chown(user.c_str(), 65534, 65534), 0);
        beside = XEVGetExtractFolder();
        EXPECT_EQ(beside.rfind(user + "-x.", 0), 0u) << beside;
        ASSERT_TRUE(XEVExtractArchiveDicomDir(zip, beside));
        XEVEndExtractFolder();
        EXPECT_TRUE(fs::is_empty(user));
    }
}

// Start-up removes what copies that ended without their exit left, and nothing else: not a
// running copy's folder with its members, not the user's own folder named Kestro, not a folder
// named like an extraction folder that holds no lock, not other folders in the user's folder.
TEST(ExtractFolder, StartUpRemovesOnlyTheFoldersOfEndedCopies)
{
    PlatTempFolder temp;
    ScopedEnv tmpdir("TMPDIR", temp.Path().c_str());
    // The copies are other processes, each with a folder state of its own: they start before
    // this process makes its folder.
    XEVEndExtractFolder();
    CopyProcess crashed;
    ASSERT_TRUE(crashed.Start(false));
    crashed.End();
    CopyProcess running;
    ASSERT_TRUE(running.Start(true));
    const std::string own = XEVGetExtractFolder();
    ASSERT_FALSE(own.empty());
    const std::string user = temp.Path() + "/kestro-" + std::to_string(::geteuid());
    fs::create_directories(temp.Path() + "/Kestro/notes");
    WriteFile(temp.Path() + "/Kestro/notes/todo", "keep");
    fs::create_directories(user + "/x.ABCDEF");
    WriteFile(user + "/x.ABCDEF/file", "keep");
    fs::create_directories(user + "/notes");
    EXPECT_NE(crashed.folder, running.folder);
    EXPECT_TRUE(LockIsFree(crashed.folder));
    EXPECT_FALSE(LockIsFree(running.folder));

    EXPECT_EQ(XEVRemoveLeftoverExtractFolders(), 1);
    EXPECT_FALSE(fs::exists(crashed.folder));
    EXPECT_EQ(ReadFile(running.folder + "/MEMBER"), "m");
    EXPECT_TRUE(fs::exists(own + "/.owner"));
    EXPECT_EQ(ReadFile(temp.Path() + "/Kestro/notes/todo"), "keep");
    EXPECT_EQ(ReadFile(user + "/x.ABCDEF/file"), "keep");
    EXPECT_TRUE(fs::is_directory(user + "/notes"));

    running.End();
    EXPECT_EQ(XEVRemoveLeftoverExtractFolders(), 1);
    EXPECT_FALSE(fs::exists(running.folder));
    EXPECT_TRUE(fs::exists(own + "/.owner"));
    XEVEndExtractFolder();
    EXPECT_FALSE(fs::exists(own));

    // A copy still ending when the start looks, which lets its lock go a moment later: a start
    // that waits for ending copies removes what it left.
    CopyProcess ending;
    ASSERT_TRUE(ending.Start(true));
    std::thread ends([&ending] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ending.End();
    });
    EXPECT_EQ(XEVRemoveLeftoverExtractFolders({}, 60000), 1);
    ends.join();
    EXPECT_FALSE(fs::exists(ending.folder));
}

// An end stopped half way, as at an exit deadline, lets the folder's lock go but leaves its lock
// file, the last thing removed: the next start knows the rest for a leftover and removes it. The
// stop is asked between entries, so the end never runs on past it.
// A copier still at work at the end names files in a sub-folder, each written under a name of
// its own and renamed into place, while the end removes the folder, also between that
// sub-folder's emptying and its removal: the folder goes whole every time. Once the end has shut
// naming, an extraction names nothing and no new folder is made.
TEST(ExtractFolder, AnEndRemovesWhatACopierNamesMeanwhileAndShutNamingNamesNothing)
{
    PlatTempFolder temp;
    ScopedEnv tmpdir("TMPDIR", temp.Path().c_str());
    constexpr int kRuns = 20;
    int left = 0;
    for (int run = 0; run < kRuns; ++run) {
        const std::string folder = XEVGetExtractFolder();
        ASSERT_FALSE(folder.empty());
        fs::create_directories(folder + "/IMG/S1");
        for (int i = 0; i < 50; ++i) {
            WriteFile(folder + "/IMG/S1/IM" + std::to_string(i), "m");
        }
        const int subFd = ::open((folder + "/IMG/S1").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(subFd, 0);
        std::atomic<int> named{0};
        std::thread copier([&] {
            for (int i = 0; i < 2000; ++i) {
                const std::string part = ".C" + std::to_string(i) + ".part";
                const int fd = ::openat(subFd, part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
                if (fd < 0) {
                    break;   // its folder went
                }
                (void)!::write(fd, "copy", 4);
                ::close(fd);
                if (::renameat(subFd, part.c_str(), subFd, ("C" + std::to_string(i)).c_str()) == 0) {
                    named.fetch_add(1);
                }
            }
        });
        while (named.load() < 5) {
            std::this_thread::yield();
        }
        XEVEndExtractFolder();
        copier.join();
        ::close(subFd);
        left += fs::exists(folder) ? 1 : 0;
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
    EXPECT_EQ(left, 0) << "of " << kRuns;

    // The same at a set moment: a file named in a sub-folder once it was read and emptied,
    // while the walk is below it.
    const std::string late = XEVGetExtractFolder();
    fs::create_directories(late + "/IMG/S1/T");
    for (int i = 0; i < 10; ++i) {
        WriteFile(late + "/IMG/S1/F" + std::to_string(i), "m");
        WriteFile(late + "/IMG/S1/T/F" + std::to_string(i), "m");
    }
    bool named = false;
    XEVEndExtractFolder([&] {
        if (!named && !fs::exists(late + "/IMG/S1/F0") && fs::exists(late + "/IMG/S1/T")) {
            WriteFile(late + "/IMG/S1/LATE", "m");
            named = true;
        }
        return false;
    });
    EXPECT_TRUE(named);
    EXPECT_FALSE(fs::exists(late));

    const std::string zip = temp.Path() + "/a.zip";
    ASSERT_TRUE(MakeZip(zip, {{"DICOMDIR", "dir"}, {"IMG/IM1", "one"}}));
    const std::string folder = XEVGetExtractFolder();
    ASSERT_TRUE(XEVExtractArchiveDicomDir(zip, folder));
    ZipShutNaming(true);
    EXPECT_NE(ExtractZipMember(zip, folder, folder + "/IMG/IM1", ""), kZipOk);
    EXPECT_EQ(CountFiles(folder), 2u);   // the lock and the DICOMDIR
    XEVEndExtractFolder();
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_EQ(XEVGetExtractFolder(), "");
    ZipShutNaming(false);
    const std::string again = XEVGetExtractFolder();
    EXPECT_FALSE(again.empty());
    XEVEndExtractFolder();
}

TEST(ExtractFolder, AnEndStoppedHalfWayLeavesTheLockFileForTheNextStart)
{
    PlatTempFolder temp;
    ScopedEnv tmpdir("TMPDIR", temp.Path().c_str());
    const std::string folder = XEVGetExtractFolder();
    ASSERT_FALSE(folder.empty());
    for (int i = 0; i < 300; ++i) {
        const std::string sub = folder + "/IMG/D" + std::to_string(i);
        fs::create_directories(sub);
        WriteFile(sub + "/IM1", "m");
    }
    int asked = 0;
    XEVEndExtractFolder([&] { return ++asked > 200; });
    EXPECT_EQ(asked, 201);
    EXPECT_TRUE(fs::exists(folder + "/.owner"));
    EXPECT_TRUE(LockIsFree(folder));
    EXPECT_GT(CountFiles(folder), 1u);

    EXPECT_EQ(XEVRemoveLeftoverExtractFolders(), 1);
    EXPECT_FALSE(fs::exists(folder));
}

// A member 2,000 folders deep extracts one folder at a time, and the extraction folder then
// goes in a process allowed 64 descriptors: neither holds a descriptor per level.
TEST_F(ZipTest, AMemberTwoThousandFoldersDeepExtractsAndGoesUnderALowDescriptorLimit)
{
    std::string deep;
    for (int i = 0; i < 2000; ++i) {
        deep += "d/";
    }
    ASSERT_TRUE(MakeZip(zip_, {{"DICOMDIR", "dir"}, {deep + "IM1", "deep"}}));
    ASSERT_TRUE(XEVExtractArchiveDicomDir(zip_, kestro_));
    std::string backslashed = deep;
    std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
    const pid_t extractor = ::fork();
    if (extractor == 0) {
        const struct rlimit limit = {64, 64};
        _exit(::setrlimit(RLIMIT_NOFILE, &limit) == 0 &&
                      ExtractZipMember(zip_, kestro_, kestro_ + "/" + backslashed + "IM1", "") == kZipOk
                  ? 0
                  : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(extractor, &status, 0), extractor);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::error_code ignored;
    EXPECT_TRUE(fs::is_directory(kestro_ + "/d/d/d", ignored));

    const pid_t remover = ::fork();
    if (remover == 0) {
        const struct rlimit limit = {64, 64};
        _exit(::setrlimit(RLIMIT_NOFILE, &limit) == 0 && XEVDeleteExtractFolder(kestro_) ? 0 : 1);
    }
    ASSERT_EQ(::waitpid(remover, &status, 0), remover);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(fs::exists(kestro_));
}

// Names no path can be (past kZipNameLimit, up to the format's 65,535 bytes) are passed over by
// the walk, the listing and the index, never read whole; a name of the limit is kept. The index
// charges what it holds.
TEST_F(ZipTest, EntriesNamedLongerThanAPathArePassedOver)
{
    const std::string atLimit = "CD/" + std::string(kZipNameLimit - 3, 'k');
    std::vector<ZipMakerMember> members = {{"CD/DICOMDIR", "dir"}};
    for (int i = 0; i < 20; ++i) {
        members.push_back({"CD/" + std::string(65000, char('a' + i)), "long"});
    }
    members.push_back({atLimit, "limit"});
    members.push_back({"CD/" + std::string(kZipNameLimit - 2, 'p'), "past"});
    members.push_back({"CD/IMAGES/IM1", "image"});
    ASSERT_TRUE(MakeZip(zip_, members));

    ZipArchive archive;
    std::vector<std::string> names;
    std::vector<unz_file_info64> infos;
    ASSERT_EQ(archive.Open(zip_), kZipOk);
    ASSERT_EQ(archive.List(names, infos), kZipOk);
    EXPECT_EQ(names, (std::vector<std::string>{"CD/DICOMDIR", atLimit, "CD/IMAGES/IM1"}));
    archive.Close();

    ASSERT_TRUE(XEVExtractArchiveDicomDir(zip_, kestro_));
    const std::shared_ptr<const ZipMemberIndex> index = ZipIndexOf(zip_);
    ASSERT_NE(index, nullptr);
    EXPECT_EQ(index->Size(), 3u);
    EXPECT_FALSE(index->Full());
    EXPECT_EQ(index->Charged(), 3 * kZipIndexEntryCost + 11 + atLimit.size() + 13);
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/IMAGES/IM1", ""), kZipOk);
    EXPECT_EQ(ReadFile(kestro_ + "/IMAGES/IM1"), "image");
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/" + std::string(65000, 'a'), kestro_ + "/a"), kZipNoMatch);
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/" + std::string(kZipNameLimit - 2, 'p'), kestro_ + "/p"),
              kZipNoMatch);
    EXPECT_FALSE(fs::exists(kestro_ + "/a"));
}

// Members of long names of many short parts and of a few long ones, as Python's zipfile
// writes them: what the index keeps on the heap, as the allocator counts it, is within what it
// charges, so that its budget bounds the memory it takes. 4,000 names of 4 KB in the optimised
// build; the address checker's, many times slower, checks 400, enough to weigh them.
TEST_F(ZipTest, TheIndexHoldsNoMoreThanItCharges)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer's allocator counts its blocks otherwise than the one the charge is set by";
#endif
#if defined(__SANITIZE_ADDRESS__)
    constexpr int kMembers = 400;
#else
    constexpr int kMembers = 4000;
#endif
    const std::string command = "/usr/bin/python3 -c \"import sys, zipfile\n"
                                "z = zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_STORED)\n"
                                "z.writestr('CD/DICOMDIR', b'dir')\n"
                                "for i in range(int(sys.argv[2])):\n"
                                "    part = 'abcdefg/' if i % 2 else 'p' * 200 + '/'\n"
                                "    z.writestr('CD/' + (part * 4000)[:3990] + '%06d' % i, b'')\n"
                                "z.close()\" " +
                                zip_ + " " + std::to_string(kMembers);
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    ZipArchive archive;
    ASSERT_EQ(archive.Open(zip_), kZipOk);
    const size_t before = HeapInUse();
    auto index = std::make_unique<ZipMemberIndex>();
    ASSERT_EQ(index->Build(archive), kZipOk);
    const size_t after = HeapInUse();
    ASSERT_EQ(index->Size(), size_t(kMembers + 1));
    EXPECT_FALSE(index->Full());
    ASSERT_GT(after, before);
    EXPECT_GE(index->Charged(), after - before);
    EXPECT_LT(index->Charged(), 2 * (after - before));
    std::printf("[ figures  ] index of %d members: charged %llu bytes, holds %llu\n", kMembers + 1,
                static_cast<unsigned long long>(index->Charged()), static_cast<unsigned long long>(after - before));
}

// The format's largest comment (65,535 bytes) puts the end record past minizip's own search:
// the archive still opens, lists and extracts. Bytes after the comment are no archive.
TEST_F(ZipTest, AnArchiveWithTheLargestCommentOpens)
{
    ASSERT_TRUE(MakeZip(zip_, {{"CD/DICOMDIR", "dir"}, {"CD/IMAGES/IM1", "image"}}));
    std::string bytes = ReadFile(zip_);
    ASSERT_GE(bytes.size(), 22u);
    ASSERT_EQ(bytes.compare(bytes.size() - 22, 4, "PK\5\6"), 0);
    bytes[bytes.size() - 2] = char(0xFF);
    bytes[bytes.size() - 1] = char(0xFF);
    // The comment holds a record of its own that ends nowhere near the file's end.
    bytes += "PK\5\6" + std::string(65535 - 4, 'c');
    WriteFile(zip_, bytes);

    EXPECT_TRUE(IsZipFile(zip_));
    ZipArchive archive;
    std::vector<std::string> names;
    std::vector<unz_file_info64> infos;
    ASSERT_EQ(archive.Open(zip_), kZipOk);
    ASSERT_EQ(archive.List(names, infos), kZipOk);
    EXPECT_EQ(names, (std::vector<std::string>{"CD/DICOMDIR", "CD/IMAGES/IM1"}));
    archive.Close();
    ASSERT_TRUE(ZipHasDicomDir(zip_));
    ASSERT_TRUE(XEVExtractArchiveDicomDir(zip_, kestro_));
    EXPECT_EQ(ReadFile(kestro_ + "/DICOMDIR"), "dir");
    EXPECT_EQ(ExtractZipMember(zip_, kestro_, kestro_ + "/IMAGES/IM1", ""), kZipOk);
    EXPECT_EQ(ReadFile(kestro_ + "/IMAGES/IM1"), "image");

    WriteFile(zip_, bytes + "x");
    EXPECT_FALSE(IsZipFile(zip_));
}

// Every fourth of 16 stored members of 132 KB, as a page takes the images it shows: the drive
// reads those members and the directory, never the kernel's read-ahead nor the reader's blocks
// past a member's end into the members between (376 KB a member with the read-ahead).
TEST_F(ZipTest, MembersReadCostTheDriveTheirOwnBytes)
{
    constexpr int kMembers = 16;
    constexpr uint64_t kMember = 132 * 1024;
    if (!OnSlowDisc()) {
        const std::string medium = temp_.Path() + "/medium";
        ASSERT_TRUE(fs::create_directory(medium));
        std::mt19937 random(7);
        std::vector<ZipMakerMember> members;
        for (int k = 0; k < kMembers; ++k) {
            std::string data(kMember, '\0');
            for (char& c : data) {
                c = char(random());
            }
            members.push_back({"DICOM/I" + std::to_string(k), data, false, kMember, 0});
        }
        ASSERT_TRUE(MakeZip(medium + "/disc.zip", members));
        RunTestOnSlowDisc(SlowDiscSettings(medium, 1e9, 0));
        return;
    }
    const std::string zip = SlowDiscRoot() + "/disc.zip";
    ZipArchive archive;
    ASSERT_EQ(archive.Open(zip), kZipOk);
    std::vector<std::string> names;
    std::vector<unz_file_info64> infos;
    ASSERT_EQ(archive.List(names, infos), kZipOk);
    ASSERT_EQ(names.size(), size_t(kMembers));
    uint64_t wanted = 0;
    int extracted = 0;
    for (int k = 0; k < kMembers; k += 4) {
        ASSERT_EQ(archive.Extract(names[k], temp_.Path() + "/m" + std::to_string(k)), kZipOk);
        wanted += infos[k].compressed_size + 30 + names[k].size();
        ++extracted;
    }
    EXPECT_EQ(archive.Close(), kZipOk);
    uint64_t drive = 0;
    for (const SlowDiscEvent& event : SlowDiscLog()) {
        drive += event.kind == SlowDiscEvent::Read && event.path == zip ? uint64_t(event.driveBytes) : 0;
    }
    // The directory: the archive's tail, which the end record is looked for in.
    constexpr uint64_t kTail = 22 + 65535;
    // A member's first and last pages hold its neighbours' bytes too.
    constexpr uint64_t kPages = 2 * 4096;
    EXPECT_GE(drive, wanted);
    EXPECT_LE(drive, wanted + kTail + extracted * kPages) << "drive " << drive << ", members " << wanted;
}

// A member of 1 MB between two others on a drive at 1.2 MB/s: the kernel reads ahead of its
// copy, so the copy never waits on a request of its own, and never past the member's end into
// the next member.
TEST_F(ZipTest, AMemberCopiedIsReadAheadOfItsCopyWithinItself)
{
    constexpr uint64_t kMember = 1000 * 1000;
    constexpr double kRate = 1.2e6;
    if (!OnSlowDisc()) {
        const std::string medium = temp_.Path() + "/medium";
        ASSERT_TRUE(fs::create_directory(medium));
        std::mt19937 random(11);
        std::vector<ZipMakerMember> members;
        for (const auto& [name, size] :
             {std::pair{"DICOM/BEFORE", kMember / 4}, {"DICOM/MEMBER", kMember}, {"DICOM/AFTER", kMember / 4}}) {
            std::string data(size, '\0');
            for (char& c : data) {
                c = char(random());
            }
            members.push_back({name, data, false, size, 0});
        }
        ASSERT_TRUE(MakeZip(medium + "/disc.zip", members));
        RunTestOnSlowDisc(SlowDiscSettings(medium, kRate, 100));
        return;
    }
    const std::string zip = SlowDiscRoot() + "/disc.zip";
    ZipArchive archive;
    ASSERT_EQ(archive.Open(zip), kZipOk);
    uint64_t start[2] = {};
    unz_file_info64 info[2] = {};
    for (int k = 0; k < 2; ++k) {
        const std::string name = k == 0 ? "DICOM/MEMBER" : "DICOM/AFTER";
        ASSERT_EQ(archive.Locate([&](const std::string& n, const unz_file_info64&) { return n == name; }), kZipOk);
        ASSERT_EQ(archive.CurrentDataStart(start[k], info[k]), kZipOk);
    }
    const uint64_t end = start[0] + info[0].compressed_size;
    const long long before = SlowDiscLog().size();
    const auto began = std::chrono::steady_clock::now();
    ASSERT_EQ(archive.Extract("DICOM/MEMBER", temp_.Path() + "/member"), kZipOk);
    const long long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began).count();
    EXPECT_EQ(fs::file_size(temp_.Path() + "/member"), kMember);
    uint64_t waited = 0;
    uint64_t ahead = 0;
    const std::vector<SlowDiscEvent> log = SlowDiscLog();
    for (size_t k = size_t(before); k < log.size(); ++k) {
        const SlowDiscEvent& event = log[k];
        if (event.kind != SlowDiscEvent::Read || event.path != zip) {
            continue;
        }
        const uint64_t from = uint64_t(event.offset);
        const uint64_t to = from + uint64_t(event.length);
        // Nothing of the next member's data, which begins past the member's last page.
        EXPECT_TRUE(to <= start[1] || from >= start[1] + info[1].compressed_size) << from << " to " << to;
        if (from >= start[0] && from < end) {
            EXPECT_LE(to, end) << from << " to " << to;
            (event.ahead ? ahead : waited) += uint64_t(event.driveBytes);
        }
    }
    // All but the few pages the reads of the local header brought with them.
    EXPECT_EQ(waited, 0u);
    EXPECT_GE(ahead, kMember - 4 * 4096);
    std::printf("[ figures  ] a 1 MB member copied in %lld ms, the drive's time for it %.0f ms and a seek\n", ms,
                double(kMember) * 1000 / kRate);
}
