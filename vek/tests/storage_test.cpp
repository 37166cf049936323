#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "vek_fileinputstorage.h"
#include "vek_formatinfo.h"
#include "vek_memorystorage.h"
#include "vek_test_support.h"

namespace {

struct TempFile {
  std::string path;
  explicit TempFile(const std::string& content) {
    std::string name = testing::TempDir() + "vek_storage_XXXXXX";
    const int fd = mkstemp(name.data());
    path = name;
    if (!content.empty()) {
      EXPECT_EQ(::write(fd, content.data(), content.size()), ssize_t(content.size()));
    }
    ::close(fd);
  }
  ~TempFile() { std::remove(path.c_str()); }
};

}  // namespace

TEST(FileInputStorage, PositionsAreClampedToTheFile) {
  TempFile file("0123456789");
  VEK_TestManager m;
  VEK_FileInputStorage* s = VEK_FileInputStorage::create(&m, file.path.c_str());
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->size(), 10);
  ASSERT_TRUE(s->seek(4));
  EXPECT_EQ(s->skip(15), 6);
  EXPECT_EQ(s->tell(), 10);
  EXPECT_TRUE(s->is_end());
  ASSERT_TRUE(s->seek(3));
  EXPECT_EQ(s->skip(-20), -3);
  EXPECT_EQ(s->tell(), 0);
  EXPECT_TRUE(s->seek(25));
  EXPECT_EQ(s->tell(), 10);
  EXPECT_TRUE(s->seek_end(-4));
  EXPECT_EQ(s->tell(), 6);
  char buffer[8];
  EXPECT_EQ(s->read(buffer, 8), 4);
  EXPECT_EQ(std::string(buffer, 4), "6789");
  EXPECT_EQ(s->get(), -1);
  EXPECT_EQ(m.status().full_code(), 0u);  // the end is not an error
  ASSERT_TRUE(s->to_begin());
  EXPECT_EQ(s->get(), '0');
  EXPECT_EQ(s->advance(2), 2);
  EXPECT_EQ(s->get(), '3');
  EXPECT_STREQ(s->name().c_str(), file.path.c_str());
  s->destroy();
}

TEST(FileInputStorage, MissingEmptyAndAdoptedFiles) {
  VEK_TestManager m;
  EXPECT_EQ(VEK_FileInputStorage::create(&m, "/nonexistent/dir/file.dcm"), nullptr);
  EXPECT_REPORT(m, 0x80020000u, "VEK_PosixStorage::open()", 95);

  VEK_FileInputStorage* s = VEK_FileInputStorage::create(&m, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_TRUE(s->is_empty());
  EXPECT_EQ(s->size(), 0);
  EXPECT_FALSE(s->initiate(-1));
  EXPECT_REPORT(m, 0x80800000u, "VEK_FileInputStorage::initiate()", 106);
  EXPECT_TRUE(s->initiate(0));
  EXPECT_TRUE(s->is_empty());

  TempFile empty("");
  ASSERT_TRUE(s->initiate(empty.path.c_str()));
  EXPECT_EQ(s->size(), 0);
  EXPECT_TRUE(s->is_end());
  EXPECT_GE(s->stamp_count(), 2u);
  s->destroy();
  EXPECT_EQ(m.status().full_code(), 0u);
}

TEST(FileInputStorage, PipesAndDevicesAreRefusedWithoutWaiting) {
  std::string folder = testing::TempDir() + "vek_storage_XXXXXX";
  ASSERT_NE(mkdtemp(folder.data()), nullptr);
  // Removed however the test ends.
  struct Cleanup {
    std::string folder;
    ~Cleanup() { std::filesystem::remove_all(folder); }
  } cleanup{folder};
  const std::string pipe = std::string(folder) + "/pipe";
  const std::string zero = std::string(folder) + "/zero";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  ASSERT_EQ(::symlink("/dev/zero", zero.c_str()), 0);
  for (const std::string& path : {pipe, zero}) {
    VEK_TestManager m;
    auto created = std::async(std::launch::async, [&] { return VEK_FileInputStorage::create(&m, path.c_str()); });
    if (created.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      ADD_FAILURE() << path << " was waited on";
      ::close(::open(pipe.c_str(), O_WRONLY | O_NONBLOCK));  // frees the blocked open
    }
    EXPECT_EQ(created.get(), nullptr) << path;
    EXPECT_REPORT(m, 0x80020000u, "VEK_PosixStorage::open()", 95);
  }
}

TEST(FileInputStorage, FilesOfTwoGigabytesOrMoreAreRefused) {
  TempFile big("");
  ASSERT_EQ(::truncate(big.path.c_str(), int64_t(1) << 31), 0);  // sparse: no disk used
  VEK_TestManager m;
  EXPECT_EQ(VEK_FileInputStorage::create(&m, big.path.c_str()), nullptr);
  EXPECT_REPORT(m, 0x80020000u, "VEK_PosixStorage::open()", 95);
  ASSERT_EQ(::truncate(big.path.c_str(), INT32_MAX), 0);
  VEK_FileInputStorage* s = VEK_FileInputStorage::create(&m, big.path.c_str());
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->size(), INT32_MAX);
  EXPECT_TRUE(s->seek_end(0));
  EXPECT_EQ(s->skip(INT32_MAX), 0);  // no overflow past the end
  EXPECT_EQ(s->skip(INT32_MIN), -INT32_MAX);
  s->destroy();
}

TEST(ByteArrayStorage, OutputStopsAtItsCapacity) {
  VEK_TestManager m;
  uint8_t array[4] = {};
  VEK_ByteArrayOutputStorage* out = VEK_ByteArrayOutputStorage::create(&m, array, 4);
  ASSERT_NE(out, nullptr);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(out->put(uint8_t(i + 1)), i + 1);
  EXPECT_EQ(out->put(9), -1);
  EXPECT_REPORT(m, 0x80020000u, "VEK_ByteArrayOutputStorage::put()", 113);
  EXPECT_FALSE(out->seek(-1));
  EXPECT_EQ(out->tell(), 4);
  ASSERT_TRUE(out->seek(2));
  const uint8_t six[6] = {10, 11, 12, 13, 14, 15};
  EXPECT_EQ(out->write(six, 6), 2);
  EXPECT_EQ(m.status().full_code(), 0u);  // a short write is not reported
  EXPECT_EQ(out->write(six, 6), 0);
  EXPECT_REPORT(m, 0x80020000u, "VEK_ByteArrayOutputStorage::write()", 156);
  EXPECT_EQ(array[3], 11);
  EXPECT_EQ(out->size(), 4);

  VEK_InputStorage* in = out->create_input_storage();
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(in->get(), 1);
  in->destroy();
  out->destroy();

  uint8_t three[3] = {};
  VEK_ByteArrayOutputStorage* small = VEK_ByteArrayOutputStorage::create(&m, three, 3);
  EXPECT_EQ(small->advance(2), 2);
  EXPECT_EQ(small->size(), 2);
  ASSERT_TRUE(small->seek(10));
  EXPECT_EQ(small->tell(), 2);
  small->destroy();
  EXPECT_EQ(VEK_ByteArrayOutputStorage::create(&m, nullptr, 3), nullptr);
  EXPECT_REPORT(m, 0x80800000u, "VEK_ByteArrayOutputStorage::initiate()", 177);
}

TEST(ByteArrayStorage, InputPastTheEnd) {
  VEK_TestManager m;
  const uint8_t five[5] = {1, 2, 3, 4, 5};
  VEK_ByteArrayInputStorage* in = vek_new<VEK_ByteArrayInputStorage>(&m);
  ASSERT_TRUE(in->initiate(five, five + 5));
  EXPECT_EQ(in->skip(-3), 0);
  EXPECT_EQ(in->skip(3), 3);
  uint8_t buffer[5];
  EXPECT_EQ(in->read(buffer, 5), 2);
  EXPECT_TRUE(in->seek_end(2));
  EXPECT_EQ(in->tell(), 7);
  EXPECT_EQ(in->read(buffer, 1), 0);
  EXPECT_EQ(in->get(), -1);
  EXPECT_REPORT(m, 0x80020000u, "VEK_ByteArrayInputStorage::get()", 64);
  EXPECT_FALSE(in->initiate(five, 0));
  EXPECT_REPORT(m, 0x80800000u, "VEK_ByteArrayInputStorage::initiate()", 153);
  in->destroy();
}

TEST(MemoryStorage, BlocksGrowAndInputsSeeLaterWrites) {
  VEK_TestManager m;
  const size_t base = m.memory_manager().live();
  VEK_MemoryOutputStorage* out = VEK_MemoryOutputStorage::create(&m, 4);
  ASSERT_NE(out, nullptr);
  const uint8_t ten[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  EXPECT_EQ(out->write(ten, 10), 10);
  EXPECT_EQ(out->blocks()->size(), 3u);
  EXPECT_EQ(out->size(), 10);
  VEK_InputStorage* in = out->create_input_storage();
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(out->advance(5), 5);
  EXPECT_EQ(out->size(), 15);
  uint8_t all[20] = {};
  EXPECT_EQ(in->read(all, 20), 15);
  EXPECT_EQ(all[9], 10);
  EXPECT_EQ(all[14], 0);
  EXPECT_EQ(in->get(), -1);
  EXPECT_EQ(out->put(77), 77);
  EXPECT_EQ(in->get(), 77);  // written after the input was made
  EXPECT_EQ(in->skip(-100), -16);
  EXPECT_TRUE(in->seek_end(-1));
  EXPECT_EQ(in->get(), 77);

  EXPECT_TRUE(out->seek(3));
  EXPECT_EQ(out->tell(), 3);
  EXPECT_TRUE(out->seek_end(-2));
  EXPECT_EQ(out->tell(), 14);
  EXPECT_EQ(out->skip(100), 2);

  // The blocks live as long as any storage holds them.
  out->destroy();
  EXPECT_EQ(in->size(), 16);
  in->destroy();
  EXPECT_EQ(m.memory_manager().live(), base);
  EXPECT_EQ(m.status().full_code(), 0u);

  EXPECT_EQ(VEK_MemoryOutputStorage::create(&m, 0), nullptr);
  EXPECT_REPORT(m, 0x80800000u, "VEK_MemoryOutputStorage::initiate()", 37);
}

TEST(MemoryStorage, BlockVectorLimitsAndRefusedMemory) {
  VEK_TestManager m;
  VEK_MemoryBlockVector big(&m, 1 << 30);
  EXPECT_EQ(big.limit(), 1 << 30);
  VEK_MemoryBlockVector usual(&m, 8192);
  EXPECT_EQ(usual.limit(), 262143 * 8192);
  VEK_MemoryBlockVector one(&m, 1);
  EXPECT_EQ(one.limit(), 0x3FFFFFFF);

  VEK_MemoryOutputStorage* out = VEK_MemoryOutputStorage::create(&m, 4);
  m.memory_manager().fail_nth(1);
  const uint8_t six[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(out->write(six, 6), 0);
  m.clear();
  EXPECT_EQ(out->write(six, 6), 6);
  m.memory_manager().fail_nth(1);
  EXPECT_EQ(out->advance(8), 2);  // fills to the block's end, then no memory
  m.clear();
  out->destroy();
}

namespace {
// Reads a 4-byte little-endian width, then fails when asked to.
class ProbeInfo : public VEK_FormatInfo {
 public:
  using VEK_FormatInfo::VEK_FormatInfo;
  const char* format_name() const override { return "probe"; }
  bool fail = false;

 protected:
  bool format_load(VEK_InputStorage* s) override {
    uint8_t b[4];
    if (s->read(b, 4) != 4) return false;
    width(b[0] | b[1] << 8);
    height(1);
    bits(8);
    channels(1);
    return !fail;
  }
};
}  // namespace

TEST(FormatInfo, LoadRewindsOnFailure) {
  VEK_TestManager m;
  ProbeInfo info(&m);
  EXPECT_EQ(info.resolution().unit(), 1u);
  EXPECT_EQ(info.resolution().x_resolution(), 0.0);
  EXPECT_FALSE(info.load(nullptr));
  EXPECT_REPORT(m, 0x80800000u, "VEK_FormatInfo::load()", 34);
  VEK_ByteArrayInputStorage* empty = vek_new<VEK_ByteArrayInputStorage>(&m);
  EXPECT_FALSE(info.load(empty));
  m.clear();

  const uint8_t data[8] = {0, 0, 7, 0, 0, 0, 0, 0};
  ASSERT_TRUE(empty->initiate(data, 8));
  empty->skip(2);
  info.fail = true;
  EXPECT_FALSE(info.load(empty));
  EXPECT_EQ(empty->tell(), 2);
  EXPECT_FALSE(info.is_valid());
  info.fail = false;
  ASSERT_TRUE(info.load(empty));
  EXPECT_TRUE(info.is_valid());
  EXPECT_EQ(info.width(), 7u);
  empty->seek(4);
  ASSERT_TRUE(info.load(empty));  // loaded, but width 0
  EXPECT_FALSE(info.is_valid());
  empty->destroy();
}
