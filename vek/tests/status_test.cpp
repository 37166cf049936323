#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "vek_errorhandler.h"
#include "vek_managerimpl.h"
#include "vek_mutex.h"
#include "vek_status.h"
#include "vek_test_support.h"

TEST(InterfaceVersion, AcceptsMajor14WithMinorUpTo0x100) {
  EXPECT_TRUE(check_interface_version(0x01040100u));
  EXPECT_TRUE(check_interface_version(0x01040000u));
  EXPECT_FALSE(check_interface_version(0x01040101u));
  EXPECT_FALSE(check_interface_version(0x01050100u));
  EXPECT_FALSE(check_interface_version(0x00040100u));
}

TEST(FirstErrorHandler, KeepsFirstErrorAfterWarning) {
  VEK_TestManager m;
  m.report(0x40400000u, "A::warn()", "x/warn.cpp", 1);
  EXPECT_EQ(m.status().full_code(), 0x40400000u);
  m.report(0x80800000u, "B::first()", "framework/engine/source/vek_first.cpp", 22);
  m.report(0x81000000u, "C::second()", "c.cpp", 33);
  m.report(0x40400000u, "D::warn()", "d.cpp", 44);
  EXPECT_EQ(m.status().full_code(), 0x80800000u);
  EXPECT_STREQ(m.status().method(), "B::first()");
  EXPECT_STREQ(m.status().file(), "vek_first.cpp");
  EXPECT_EQ(m.status().line(), 22u);
}

TEST(FirstErrorHandler, IgnoresEmptyReportsAndNeverReplacesAWarningByAWarning) {
  VEK_TestManager m;
  m.report(0, "A::a()", "a", 1);
  m.report(0x80000000u, "", "a", 1);
  m.report(0x80000000u, nullptr, "a", 1);
  EXPECT_EQ(m.status().full_code(), 0u);
  m.report(0x40200010u, "W::one()", "w", 1);
  m.report(0x40400000u, "W::two()", "w", 2);
  EXPECT_EQ(m.status().full_code(), 0x40200010u);
  EXPECT_EQ(m.status().code(), 0x40200000u);
  EXPECT_STREQ(m.status().method(), "W::one()");
}

TEST(FirstErrorHandler, StoresFileNameAfterLastSeparatorAndTruncatesTexts) {
  VEK_TestManager m;
  VEK_Status a(&m, 1, "m", "a/b\\c", 1), b(&m, 1, "m", "a\\b/c", 1), c(&m, 1, "m", "plain.cpp", 1);
  EXPECT_STREQ(a.file(), "c");
  EXPECT_STREQ(b.file(), "c");
  EXPECT_STREQ(c.file(), "plain.cpp");
  const std::string method(300, 'm'), path = "dir/" + std::string(300, 'f');
  VEK_Status d(&m, 1, method.c_str(), path.c_str(), 1);
  EXPECT_EQ(std::string(d.method()), method.substr(0, 255));
  EXPECT_EQ(std::string(d.file()), std::string(255, 'f'));
  VEK_Status e(&m);
  e = d;
  EXPECT_EQ(std::string(e.method()), method.substr(0, 255));
  e = e;
  EXPECT_EQ(std::string(e.method()), method.substr(0, 255));
}

TEST(FirstErrorHandler, ConcurrentReportsKeepOneWholeRecord) {
  VEK_TestManager m;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&m, t] {
      const std::string method = "T" + std::to_string(t) + "::run()";
      for (int i = 0; i < 200; ++i) m.report(0x80400000u, method.c_str(), method.c_str(), uint32_t(t));
    });
  for (auto& th : threads) th.join();
  const std::string stored = m.status().method();
  EXPECT_EQ(stored, std::string(m.status().file()));
  EXPECT_EQ(stored, "T" + std::to_string(m.status().line()) + "::run()");
}

TEST(Manager, StatusHandsOverTheRecordAndClears) {
  VEK_TestManager m;
  VEK_Status out(&m);
  EXPECT_TRUE(m.status(out));
  EXPECT_EQ(out.full_code(), 0u);

  m.report(0x40400000u, "W::w()", "w", 1);
  EXPECT_TRUE(m.status(out));
  EXPECT_EQ(out.full_code(), 0x40400000u);
  EXPECT_EQ(m.status().full_code(), 0u);

  m.report(0x80020000u, "E::e()", "e", 2);
  EXPECT_FALSE(m.status(out));
  EXPECT_EQ(out.code(), 0x80020000u);
  EXPECT_TRUE(m.clear());
}

TEST(Manager, FailedAllocationIsReportedAsOutOfMemory) {
  VEK_TestManager m;
  m.memory_manager().fail_nth(1);
  EXPECT_EQ(m.allocate(16), nullptr);
  EXPECT_EQ(m.status().full_code(), 0x80010000u);
  EXPECT_STREQ(m.status().method(), "VEK_ManagerImpl::allocate()");
  EXPECT_STREQ(m.status().file(), "vek_managerimpl.h");
  EXPECT_EQ(m.status().line(), 62u);
}

TEST(Manager, ChargesOutsideItsBlocksShareTheBudget) {
  VEK_DefaultManager m;
  m.set_budget(1000 + m.in_use());
  const uint64_t base = m.in_use();
  EXPECT_TRUE(m.charge(600));
  EXPECT_EQ(m.allocate(500), nullptr);  // 600 charged leave no room for 500
  void* p = m.allocate(300);
  ASSERT_NE(p, nullptr);
  EXPECT_FALSE(m.charge(200));
  EXPECT_FALSE(m.charge(UINT64_MAX));
  EXPECT_EQ(m.budget_refusals(), 3u);
  EXPECT_EQ(m.in_use(), base + 900);
  m.discharge(600);
  EXPECT_TRUE(m.charge(700));
  EXPECT_EQ(m.peak(), base + 1000);
  m.discharge(700);
  m.free(p);
  EXPECT_EQ(m.in_use(), base);
  m.set_budget(m.in_use() / 2);  // lowered below what is held: nothing more fits
  EXPECT_FALSE(m.charge(1));
}

TEST(Manager, WithoutAnErrorHandlerReportsAreDroppedAndStatusIsEmpty) {
  // The handler is the manager's first allocation; a manager that could not make it still works.
  struct NoMemory : VEK_FailingMemoryManager {
    NoMemory() { refuse_all(true); }
  };
  VEK_ManagerImpl<NoMemory, VEK_FirstErrorHandler, VEK_BlockWorkflow> m;
  m.report(0x80000000u, "X::x()", "x", 1);
  EXPECT_EQ(m.status().full_code(), 0u);
  VEK_Status out(&m);
  EXPECT_TRUE(m.status(out));
}

TEST(Mutex, IsRecursiveAndTryLockSeesOtherOwners) {
  VEK_Mutex mu;
  mu.lock();
  EXPECT_TRUE(mu.try_lock());  // same thread again
  bool other = true;
  std::thread([&] { other = mu.try_lock(); }).join();
  EXPECT_FALSE(other);
  mu.unlock();
  mu.unlock();
  std::thread([&] {
    other = mu.try_lock();
    if (other) mu.unlock();
  }).join();
  EXPECT_TRUE(other);
}

namespace {
// A static initialiser in another translation unit than the mutex's own may already use it.
bool g_locked_during_static_init = [] {
  vek_global_mutex.lock();
  const bool again = vek_global_mutex.try_lock();
  vek_global_mutex.unlock();
  vek_global_mutex.unlock();
  return again;
}();
}  // namespace

TEST(Mutex, GlobalMutexUsableDuringStaticInitialisation) { EXPECT_TRUE(g_locked_during_static_init); }
