#include <gtest/gtest.h>

#include <cfloat>
#include <cstring>
#include <string>

#include "vek_basicstring.h"
#include "vek_numeric.h"
#include "vek_refpointer.h"
#include "vek_test_support.h"
#include "vek_vector.h"

namespace {

using U16 = VEK_BasicString<char16_t>;

}  // namespace

TEST(Vector, GrowsByHalfAndKeepsElements) {
  VEK_TestManager m;
  VEK_Vector<uint32_t> v(&m);
  EXPECT_EQ(v.size(), 0u);
  EXPECT_EQ(v.data(), nullptr);
  for (uint32_t i = 0; i < 100; ++i) ASSERT_TRUE(v.push_back(i * 3));
  EXPECT_EQ(v.size(), 100u);
  for (uint32_t i = 0; i < 100; ++i) ASSERT_EQ(v[i], i * 3);
  EXPECT_LE(v.capacity(), 150u);

  EXPECT_TRUE(v.resize(100, 7));  // same size: nothing changes
  EXPECT_EQ(v[99], 297u);
  EXPECT_TRUE(v.resize(103, 7));
  EXPECT_EQ(v[102], 7u);
  v.insert(v.begin() + 1, 42);
  EXPECT_EQ(v[0], 0u);
  EXPECT_EQ(v[1], 42u);
  EXPECT_EQ(v[2], 3u);
  EXPECT_TRUE(v.resize(0, 0));
  EXPECT_EQ(v.size(), 0u);
  const uint32_t cap = v.capacity();
  EXPECT_TRUE(v.clear());
  EXPECT_EQ(v.capacity(), cap);
  EXPECT_EQ(m.status().full_code(), 0u);
}

TEST(Vector, PushBackOfOwnElementSurvivesReallocation) {
  VEK_TestManager m;
  VEK_Vector<U16> v(&m);
  ASSERT_TRUE(v.push_back(U16(&m, u"a long text beyond the inline buffer")));
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(v.push_back(v[0]));
  EXPECT_EQ(v[20].compare(u"a long text beyond the inline buffer"), 0);
  v.insert(v.begin(), v[5]);
  EXPECT_EQ(v[0].compare(u"a long text beyond the inline buffer"), 0);
}

TEST(Vector, RefusedMemoryLeavesVectorUnchangedAndReports) {
  VEK_TestManager m;
  VEK_Vector<uint32_t> v(&m);
  ASSERT_TRUE(v.push_back(1));
  ASSERT_TRUE(v.push_back(2));  // capacity 2: the next push needs memory
  m.memory_manager().fail_nth(1);
  EXPECT_FALSE(v.push_back(3));
  EXPECT_EQ(v.size(), 2u);
  EXPECT_EQ(v[1], 2u);
  // The manager's own report comes first and is the one kept.
  EXPECT_REPORT(m, 0x80010000u, "VEK_ManagerImpl::allocate()", 62);

  m.memory_manager().fail_nth(1);
  EXPECT_FALSE(v.resize(50, 9));
  EXPECT_EQ(v.size(), 2u);
  EXPECT_REPORT(m, 0x80010000u, "VEK_ManagerImpl::allocate()", 62);

  // Copies and assignments do not throw either.
  m.memory_manager().fail_nth(1);
  VEK_Vector<uint32_t> copy(v);
  EXPECT_EQ(copy.size(), 0u);
  EXPECT_EQ(m.status().code(), 0x80010000u);
  m.clear();
  VEK_Vector<uint32_t> target(&m, 3, 5);
  m.memory_manager().fail_nth(1);
  target = v;
  EXPECT_EQ(target.size(), 3u);
  EXPECT_EQ(target[2], 5u);
  m.clear();
  target = v;
  EXPECT_EQ(target.size(), 2u);
  EXPECT_EQ(target[0], 1u);
}

TEST(Vector, OutOfRangeAccessReportsAndHandsBackAPlaceholder) {
  VEK_TestManager m;
  VEK_Vector<uint32_t> v(&m);
  uint32_t& a = v.at(0);
  a = 5;  // writable, harmless
  EXPECT_REPORT(m, 0x80000000u, "VEK_Vector<T>::at() --- out of range", 318);
  v[3] = 1;
  EXPECT_REPORT(m, 0x80000000u, "VEK_Vector<T>::operator[]()", 204);
  const VEK_Vector<uint32_t>& cv = v;
  (void)cv[0];
  EXPECT_REPORT(m, 0x80000000u, "VEK_Vector<T>::operator[]()", 223);
  // Element types built from a manager get one as well.
  VEK_Vector<U16> strings(&m);
  EXPECT_EQ(strings.at(1).size(), 0u);
  EXPECT_EQ(v.size(), 0u);
}

TEST(Vector, SizeDoesNotFollowItsElementAndThePlaceholderComesOnDemand) {
  // A directory record holds a list of records, which holds a list of records: a vector as
  // large as its element multiplied every record by its depth.
  struct Big {
    char bytes[4096];
  };
  EXPECT_EQ(sizeof(VEK_Vector<Big>), sizeof(VEK_Vector<char>));
  EXPECT_LE(sizeof(VEK_Vector<VEK_Vector<VEK_Vector<Big>>>), 48u);
  // A record holds a dozen strings, most of them empty: each carries its manager once.
  EXPECT_LE(sizeof(U16), 40u);
  VEK_TestManager m;
  VEK_Vector<VEK_Vector<U16>> nested(&m);
  VEK_Vector<U16>& missing = nested[2];
  EXPECT_REPORT(m, 0x80000000u, "VEK_Vector<T>::operator[]()", 204);
  EXPECT_EQ(missing.size(), 0u);
  EXPECT_EQ(&nested[7], &missing);  // the same one, made once
  EXPECT_REPORT(m, 0x80000000u, "VEK_Vector<T>::operator[]()", 204);
}

TEST(Vector, CountBeyondThirtyTwoBitBytesIsALengthError) {
  VEK_TestManager m;
  const size_t base = m.memory_manager().live();
  VEK_Vector<uint32_t> v(&m);
  EXPECT_FALSE(v.resize(0x40000000u, 0));
  EXPECT_REPORT(m, 0x80000000u, "VEK_Vector<T>::resize()", 969);
  EXPECT_EQ(v.size(), 0u);
  EXPECT_EQ(m.memory_manager().live(), base);
}

TEST(Vector, EveryRefusedAllocationOfAJobLeavesNoLeak) {
  for (uint64_t n = 1; n < 40; ++n) {
    VEK_TestManager m;
    const size_t base = m.memory_manager().live();
    {
      m.memory_manager().fail_nth(n);
      VEK_Vector<U16> v(&m);
      for (int i = 0; i < 6; ++i) v.push_back(U16(&m, u"text longer than seven"));
      VEK_Vector<U16> copy(v);
      v = copy;
      v.resize(2, U16(&m, u"x"));
    }
    EXPECT_EQ(m.memory_manager().live(), base) << "refusing allocation " << n;
  }
}

TEST(BasicString, InlineUpToSevenUnitsThenHeap) {
  VEK_TestManager m;
  const size_t base = m.memory_manager().live();
  U16 s(&m, u"1234567");
  EXPECT_EQ(s.capacity(), 7u);
  EXPECT_EQ(m.memory_manager().live(), base);
  s.assign(u"12345678");
  EXPECT_GE(s.capacity(), 8u);
  EXPECT_EQ(m.memory_manager().live(), base + 1);
  EXPECT_EQ(s.compare(u"12345678"), 0);
  EXPECT_EQ(s.c_str()[8], 0);

  VEK_BasicString<char> n(&m, "fifteen chars!!");
  EXPECT_EQ(n.capacity(), 15u);
  EXPECT_EQ(m.memory_manager().live(), base + 1);
}

TEST(BasicString, AssignNullEmptiesAndKeepsHeapUntilDestroyed) {
  VEK_TestManager m;
  const size_t base = m.memory_manager().live();
  {
    U16 s(&m, u"twenty characters!!!");
    s.assign(static_cast<const char16_t*>(nullptr));
    EXPECT_EQ(s.size(), 0u);
    EXPECT_EQ(s.c_str()[0], 0);
    EXPECT_EQ(m.memory_manager().live(), base + 1);
    s.assign(u"again, a longer text than before!");
    EXPECT_EQ(s.compare(u"again, a longer text than before!"), 0);
  }
  EXPECT_EQ(m.memory_manager().live(), base);
}

TEST(BasicString, EraseClampsCountAndRefusesPositionPastEnd) {
  VEK_TestManager m;
  U16 s(&m, u"abcdefghij");
  s.erase(2, 3);
  EXPECT_EQ(s.compare(u"abfghij"), 0);
  s.erase(5, 100);
  EXPECT_EQ(s.compare(u"abfgh"), 0);
  s.erase(9, 1);
  EXPECT_EQ(s.compare(u"abfgh"), 0);
  EXPECT_REPORT(m, 0x80000000u, "VEK_BasicString<Ch>::erase()", 1006);
}

TEST(BasicString, RefusedMemoryKeepsOldTextAndReports) {
  VEK_TestManager m;
  U16 s(&m, u"short");
  m.memory_manager().fail_nth(1);
  s.assign(u"a text that needs the heap");
  EXPECT_EQ(s.compare(u"short"), 0);
  EXPECT_EQ(m.status().code(), 0x80010000u);
  m.clear();
  U16 big(&m, u"another text that needs the heap");
  m.memory_manager().fail_nth(1);
  U16 copy(big);
  EXPECT_EQ(copy.size(), 0u);
  m.clear();
  m.memory_manager().fail_nth(1);
  s.assign(big);
  EXPECT_EQ(s.compare(u"short"), 0);
  EXPECT_REPORT(m, 0x80010000u, "VEK_ManagerImpl::allocate()", 62);
}

TEST(BasicString, CompareIsByUnsignedUnitsThenLength) {
  VEK_TestManager m;
  U16 ab(&m, u"ab"), abc(&m, u"abc"), high(&m, u"\x8000");
  EXPECT_EQ(ab.compare(u"abc"), -1);
  EXPECT_EQ(abc.compare(u"ab"), 1);
  EXPECT_EQ(ab.compare(u"ab"), 0);
  EXPECT_EQ(high.compare(u"\x7fff"), 1);
  EXPECT_EQ(U16(&m).compare(nullptr), 0);
}

namespace {
struct Counted : VEK_Utility {
  explicit Counted(VEK_Manager* m, int* alive) : VEK_Utility(m), alive_(alive) { ++*alive_; }
  ~Counted() override { --*alive_; }
  int* alive_;
};
}  // namespace

TEST(RefPointer, SharedObjectDestroyedOnceByTheLastHandle) {
  VEK_TestManager m;
  const size_t base = m.memory_manager().live();
  int alive = 0;
  {
    VEK_RefPointer<Counted> a(vek_new<Counted>(&m, &alive));
    {
      VEK_RefPointer<Counted> b(a);
      VEK_RefPointer<Counted> c(vek_new<Counted>(&m, &alive));
      EXPECT_EQ(alive, 2);
      c = b;  // c's own object goes
      EXPECT_EQ(alive, 1);
      c = c;
      EXPECT_EQ(a.use_count(), 3u);
    }
    EXPECT_EQ(alive, 1);
    EXPECT_EQ(a.use_count(), 1u);
  }
  EXPECT_EQ(alive, 0);
  EXPECT_EQ(m.memory_manager().live(), base);
}

TEST(RefPointer, HandleWithoutCountNeverDestroys) {
  VEK_TestManager m;
  int alive = 0;
  Counted* object = vek_new<Counted>(&m, &alive);
  m.memory_manager().fail_nth(1);
  {
    VEK_RefPointer<Counted> a(object);
    VEK_RefPointer<Counted> b(a);
    EXPECT_EQ(a.use_count(), 0u);
  }
  EXPECT_EQ(alive, 1);
  object->destroy();
  EXPECT_EQ(alive, 0);
}

TEST(Numeric, RoundingAndNearness) {
  EXPECT_TRUE(nearly_equal(1.0, 1.0 + DBL_EPSILON, DBL_EPSILON));
  EXPECT_FALSE(nearly_equal(1.0, 1.0 + 4 * DBL_EPSILON, DBL_EPSILON));
  EXPECT_FALSE(nearly_equal(NAN, NAN, 1.0));

  EXPECT_EQ(round_half_away(2.5), 3);
  EXPECT_EQ(round_half_away(-2.5), -3);
  EXPECT_EQ(round_half_away(-0.5), -1);
  EXPECT_EQ(round_half_away(0.49), 0);
  EXPECT_EQ(round_half_away(-0.49), 0);
  EXPECT_EQ(round_half_away(2147483646.6), 2147483647);
  EXPECT_EQ(round_half_away(1e300), INT32_MIN);
  EXPECT_EQ(round_half_away(NAN), INT32_MIN);

  EXPECT_EQ(round_half_up(2.5), 3u);
  EXPECT_EQ(round_half_up(4294967294.6), 4294967295u);
  EXPECT_EQ(round_half_up(-0.7), 0u);
  EXPECT_EQ(static_cast<int32_t>(round_half_up(-1.7)), -1);
  EXPECT_EQ(round_half_up(2147483648.2), 2147483648u);

  EXPECT_EQ(power(2, 0), 1u);
  EXPECT_EQ(power(2, 32), 0u);
  EXPECT_EQ(power(3, 4), 81u);
  EXPECT_EQ(power(7, 100), [] {
    uint32_t r = 1;
    for (int i = 0; i < 100; ++i) r *= 7;
    return r;
  }());
}
