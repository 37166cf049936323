#pragma once
// A loader driven through every out-of-memory path of one input.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "vek_memorystorage.h"
#include "vek_test_support.h"

// Loads bytes with each allocation refused in turn, from the first on, until a load gets
// through: every refused load must fail as out of memory and leave nothing behind.
// load(manager, storage) answers the load's result; done(...) checks the one that got through.
template <class Load, class Done>
void expect_refused_allocations_fail_cleanly(const std::vector<uint8_t>& bytes, Load load, Done done) {
  for (uint64_t n = 1;; ++n) {
    VEK_TestManager m;
    const size_t base = m.memory_manager().live();
    bool ok = false;
    {
      auto* storage = vek_create<VEK_ByteArrayInputStorage>(&m, bytes.data(), int32_t(bytes.size()));
      ASSERT_NE(storage, nullptr);
      const uint64_t before = m.memory_manager().allocations();
      m.memory_manager().fail_nth(n);
      ok = load(m, storage);
      const bool refused = m.memory_manager().allocations() - before >= n;
      m.memory_manager().fail_nth(0);
      if (refused) {
        EXPECT_FALSE(ok) << "refusing allocation " << n;
        EXPECT_EQ(m.status().code(), 0x80010000u) << "refusing allocation " << n;
      } else {
        EXPECT_TRUE(ok);
      }
      storage->destroy();
    }
    EXPECT_EQ(m.memory_manager().live(), base) << "refusing allocation " << n;
    if (ok) {
      done();
      break;
    }
  }
}
