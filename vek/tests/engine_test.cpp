#include <gtest/gtest.h>

#include <functional>
#include <type_traits>
#include <vector>

#include "vek_engine.h"
#include "vek_test_engines.h"
#include "vek_test_support.h"

namespace {

size_t parts(VEK_TestManager&) { return 3; }  // handler, workflow, relation table

}  // namespace

TEST(Chain, PatternThroughNopsAndInverterReachesTheSink) {
  for (uint32_t block : {0u, 7u, 64u}) {
    VEK_TestManager m;
    VEK_Header h(&m);
    make_gray(h, 13, 9);
    TestFamily family(&m);
    VEK_RewriteHeader rewrite(&m);
    VEK_Engine* e = family.pattern(h, 5, block);
    ASSERT_NE(e, nullptr);
    e = rewrite.engine(e, &h);  // raw: back to one line a block
    e = family.invert(e);
    std::vector<uint8_t> out;
    VEK_Engine* sink = family.collect(e, &out);
    ASSERT_NE(sink, nullptr);
    run(sink);
    EXPECT_EQ(out, expected_pattern(13, 9, 5, true)) << "block " << block;
    VEK_Status st(&m);
    EXPECT_TRUE(m.status(st));
    EXPECT_TRUE(m.relation()->empty());
    EXPECT_EQ(m.memory_manager().live(), parts(m));
  }
}

TEST(Chain, BranchGivesCompleteCopies) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make_gray(h, 10, 6, 16);
  TestFamily family(&m);
  std::vector<uint8_t> outs[3];
  VEK_Engine* sinks[3];
  {
    VEK_Vector<VEK_Engine*> branches = family.pattern(h, 1)->branch(3);
    ASSERT_EQ(branches.size(), 3u);
    for (int i = 0; i < 3; ++i) sinks[i] = family.collect(branches[i], &outs[i]);
  }
  // Interleaved readers: memory is freed only below the slowest.
  bool more = true;
  while (more) {
    more = false;
    for (VEK_Engine* s : sinks) more = s->execute() || more;
  }
  for (auto& out : outs) EXPECT_EQ(out, expected_pattern(20, 6, 1));
  VEK_Status st(&m);
  EXPECT_TRUE(m.status(st));
  EXPECT_EQ(m.memory_manager().live(), parts(m));
}

TEST(Chain, BranchZeroReportsAndGivesNothing) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make_gray(h, 4, 4);
  TestFamily family(&m);
  VEK_Engine* e = family.pattern(h);
  EXPECT_EQ(e->branch(0).size(), 0u);
  EXPECT_EQ(m.status().full_code(), 0x80800000u);
  EXPECT_STREQ(m.status().method(), "VEK_DstBufferImpl::create_src_buffer()");
  EXPECT_EQ(m.status().line(), 65u);
  VEK_Status st(&m);
  EXPECT_FALSE(m.status(st));
  EXPECT_EQ(m.memory_manager().live(), parts(m));
}

TEST(Chain, ImageTooLargeForA32BitBufferGetsNone) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make_gray(h, 70000, 70000);
  TestFamily family(&m);
  EXPECT_EQ(family.pattern(h), nullptr);
  EXPECT_EQ(m.status().full_code(), 0x81000000u);
  EXPECT_STREQ(m.status().method(), "VEK_BlockWorkflow::create_dst_buffer()");
  EXPECT_STREQ(m.status().file(), "vek_blockworkflow.cpp");
  EXPECT_EQ(m.status().line(), 42u);
  VEK_Status st(&m);
  EXPECT_FALSE(m.status(st));
  EXPECT_EQ(m.memory_manager().live(), parts(m));
}

TEST(Chain, EncodedOutputGetsAOneGigabyteBuffer) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make_gray(h, 4, 4);
  h.encode_type(VEK_EncodeType_jpeg::instance());
  TestFamily family(&m);
  VEK_Engine* e = family.pattern(h, 0, 16);
  ASSERT_NE(e, nullptr);
  auto* proxy = static_cast<VEK_DstBufferProxy*>(static_cast<VEK_BufferOutputEngine*>(e)->dst_buffer());
  EXPECT_EQ(static_cast<VEK_DstBufferBase*>(proxy->real())->total(), 0x40000000u);
  m.clear();
}

TEST(Chain, FailingProcessLineCommitsNothingAndReleasesItsSource) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make_gray(h, 8, 5);
  TestFamily family(&m);
  VEK_Engine* e = family.invert(family.pattern(h), 3);
  std::vector<uint8_t> out;
  run(family.collect(e, &out));
  // Lines 1 and 2 arrive; line 3 fails and ends the inverter, so the sink stops short.
  EXPECT_EQ(out, std::vector<uint8_t>(expected_pattern(8, 2, 0, true)));
  VEK_Status st(&m);
  EXPECT_TRUE(m.status(st));  // a failed step reports nothing by itself
  EXPECT_EQ(m.memory_manager().live(), parts(m));
}

TEST(Chain, LineEngineAtItsHeightTouchesNoBuffer) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make_gray(h, 8, 2);
  TestFamily family(&m);
  auto* inv = static_cast<TestInvertEngine*>(family.invert(family.pattern(h)));
  std::vector<uint8_t> out;
  ASSERT_NE(family.collect(inv, &out), nullptr);  // its reader starts the inverter's buffer
  ASSERT_TRUE(inv->execute());
  ASSERT_TRUE(inv->execute());
  auto* proxy = static_cast<VEK_DstBufferProxy*>(inv->dst_buffer());
  auto* real = static_cast<VEK_STBlockDstBuffer*>(proxy->real());
  auto* reader = static_cast<VEK_SrcBufferImpl*>(inv->src_buffer_in());
  const uint32_t position = reader->position();
  EXPECT_FALSE(inv->execute());
  EXPECT_FALSE(inv->execute());
  EXPECT_EQ(real->state(), VEK_DstBufferBase::kStarted);  // no write block taken
  EXPECT_EQ(real->written(), 16u);
  EXPECT_EQ(reader->position(), position);
  EXPECT_EQ(m.status().full_code(), 0u);
  m.clear();
  EXPECT_EQ(m.memory_manager().live(), parts(m));
}

TEST(Chain, CreatorAfterAStoredErrorAnswersNullAndFreesItsReader) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make_gray(h, 8, 2);
  TestFamily family(&m);
  VEK_Engine* e = family.pattern(h);
  m.report(0x80400000u, "Test::fail()", "t", 1);
  const size_t live = m.memory_manager().live();
  EXPECT_EQ(family.invert(e), nullptr);
  EXPECT_EQ(m.memory_manager().live(), live);
  EXPECT_STREQ(m.status().method(), "Test::fail()");
  std::vector<uint8_t> out;
  EXPECT_EQ(family.collect(e, &out), nullptr);
  VEK_Status st(&m);
  EXPECT_FALSE(m.status(st));
  EXPECT_EQ(m.memory_manager().live(), parts(m));
}

TEST(Chain, NullSourceIsReportedUnderTheFamilyName) {
  VEK_TestManager m;
  VEK_RewriteHeader rewrite(&m);
  VEK_Header h(&m);
  EXPECT_EQ(rewrite.engine(nullptr, &h), nullptr);
  EXPECT_STREQ(m.status().method(), "VEK_RewriteHeader::engine()");
  EXPECT_EQ(m.status().line(), 55u);
  m.clear();
  TestFamily family(&m);
  EXPECT_EQ(family.invert(nullptr), nullptr);
  EXPECT_STREQ(m.status().method(), "TestFamily::invert()");
}

namespace {
// Each engine notes its end, and writers the destination buffer they write, in one shared log.
struct Ended {
  const VEK_Engine* engine;
  const void* destination;  // null for sinks
};
std::vector<Ended>* g_ended = nullptr;

template <class E>
class Logged : public E {
 public:
  using E::E;
  bool terminate() override {
    const void* destination = nullptr;
    if constexpr (std::is_base_of_v<VEK_BufferOutputEngine, E>) destination = this->dst_;
    if (g_ended != nullptr) g_ended->push_back({this, destination});
    return E::terminate();
  }
};

class LoggedFamily : public TestFamily {
 public:
  using TestFamily::TestFamily;
  VEK_Engine* pattern(const VEK_Header& header) { return create_generator<Logged<TestPatternEngine>>(&header, 0u, 0u); }
  VEK_Engine* invert(VEK_Engine* source) { return create_engine<Logged<TestInvertEngine>>(source, 0u); }
  VEK_Engine* collect(VEK_Engine* source, std::vector<uint8_t>* out) {
    return create_sink<Logged<TestCollectEngine>>(source, out);
  }
};
}  // namespace

TEST(Chain, AbandonedJobIsTornDownSinksFirst) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make_gray(h, 100, 100);
  LoggedFamily family(&m);
  std::vector<Ended> ended;
  g_ended = &ended;
  std::vector<uint8_t> out, other;
  // Two chains, their sinks made in turn; the second sink registers last.
  VEK_Engine* sink = family.collect(family.invert(family.invert(family.pattern(h))), &out);
  VEK_Engine* second = family.collect(family.pattern(h), &other);
  ASSERT_NE(sink, nullptr);
  ASSERT_NE(second, nullptr);
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(sink->execute());
  ASSERT_TRUE(second->execute());
  ASSERT_TRUE(ended.empty());
  VEK_Status st(&m);
  EXPECT_TRUE(m.status(st));
  g_ended = nullptr;
  EXPECT_TRUE(m.relation()->empty());
  EXPECT_EQ(m.memory_manager().live(), parts(m));

  // The sinks in the order they were registered, then the four writers by the address of
  // the buffer each writes.
  ASSERT_EQ(ended.size(), 6u);
  EXPECT_EQ(ended[0].engine, sink);
  EXPECT_EQ(ended[1].engine, second);
  for (size_t i = 2; i < ended.size(); ++i) EXPECT_NE(ended[i].destination, nullptr) << i;
  for (size_t i = 3; i < ended.size(); ++i)
    EXPECT_TRUE(std::less<const void*>()(ended[i - 1].destination, ended[i].destination)) << i;
}

TEST(Chain, EveryRefusedAllocationLeavesNoLeak) {
  uint64_t total = 0;
  {
    VEK_TestManager probe;
    const uint64_t start = probe.memory_manager().allocations();
    VEK_Header h(&probe);
    make_gray(h, 9, 7);
    TestFamily family(&probe);
    std::vector<uint8_t> out;
    VEK_Engine* second = family.pattern(h)->branch(2)[1];
    run(family.collect(family.invert(second), &out));
    probe.clear();
    total = probe.memory_manager().allocations() - start;
  }
  ASSERT_GT(total, 10u);
  for (uint64_t n = 1; n <= total + 1; ++n) {
    VEK_TestManager m;
    VEK_Header h(&m);
    make_gray(h, 9, 7);
    TestFamily family(&m);
    m.memory_manager().fail_nth(n);
    std::vector<uint8_t> out;
    VEK_Engine* e = family.pattern(h);
    VEK_Engine* second = nullptr;
    if (e != nullptr) {
      VEK_Vector<VEK_Engine*> b = e->branch(2);
      if (b.size() == 2) second = b[1];
    }
    VEK_Engine* sink = family.collect(family.invert(second), &out);
    run(sink);
    VEK_Status st(&m);
    const bool ok = m.status(st);
    if (ok)
      EXPECT_EQ(out, expected_pattern(9, 7, 0, true)) << n;
    else
      EXPECT_EQ(st.code(), 0x80010000u) << n;
    EXPECT_EQ(m.memory_manager().live(), parts(m)) << "refusing allocation " << n;
  }
}

namespace {
// An object that reports from its terminate, and counts how often it was torn down.
struct Noisy : VEK_Object {
  Noisy(VEK_Manager* m, uint32_t code, int* ended) : VEK_Object(m), code_(code), ended_(ended) {}
  bool terminate() override {
    ++*ended_;
    if (code_ != 0) manager_->report(code_, "Noisy::terminate()", "noisy", 1);
    return true;
  }
  uint32_t code_;
  int* ended_;
};
struct Holder : VEK_Object {
  using VEK_Object::VEK_Object;
  bool terminate() override { return true; }
};
}  // namespace

TEST(DependMap, CountsKeepAnObjectAliveUntilItsLastDependantEnds) {
  VEK_TestManager m;
  int ended = 0;
  Noisy* b = vek_new<Noisy>(&m, 0u, &ended);
  Holder* a = vek_new<Holder>(&m);
  Holder* c = vek_new<Holder>(&m);
  ASSERT_TRUE(a->depend(b));
  ASSERT_TRUE(a->depend(b));
  ASSERT_TRUE(c->depend(b));
  EXPECT_EQ(m.relation()->dependents(b), 3u);
  EXPECT_TRUE(b->destroy());  // the owner's own end: one of three references
  EXPECT_EQ(ended, 0);
  EXPECT_EQ(m.relation()->dependents(b), 2u);
  EXPECT_TRUE(a->destroy());  // ends both of a's dependencies
  EXPECT_EQ(ended, 0);
  EXPECT_EQ(m.relation()->dependents(b), 0u);
  EXPECT_TRUE(c->destroy());  // the last end destroys b
  EXPECT_EQ(ended, 1);
  EXPECT_TRUE(m.relation()->empty());

  // depend twice: d survives the two ends of its dependant and goes with its own.
  Noisy* d = vek_new<Noisy>(&m, 0u, &ended);
  Holder* e = vek_new<Holder>(&m);
  ASSERT_TRUE(e->depend(d));
  ASSERT_TRUE(e->depend(d));
  EXPECT_EQ(m.relation()->dependents(d), 2u);
  EXPECT_TRUE(e->destroy());
  EXPECT_EQ(ended, 1);
  EXPECT_TRUE(d->destroy());
  EXPECT_EQ(ended, 2);

  Holder* f = vek_new<Holder>(&m);
  EXPECT_FALSE(m.depend(f, f));
  EXPECT_EQ(m.status().line(), 56u);
  m.clear();
  EXPECT_FALSE(m.depend(f, nullptr));
  EXPECT_STREQ(m.status().method(), "VEK_DependMap::depend()");
  m.clear();
  EXPECT_FALSE(m.end(nullptr));
  EXPECT_EQ(m.status().line(), 95u);
  m.clear();
  f->destroy();
  EXPECT_TRUE(m.relation()->empty());
  EXPECT_EQ(m.memory_manager().live(), parts(m));
}

namespace {
// Listed before the library's base, so the library object does not start the allocation.
struct LeadingBase {
  virtual ~LeadingBase() = default;
  virtual uint64_t sum() const { return payload[0] + payload[1] + payload[2]; }
  uint64_t payload[3] = {1, 2, 3};
};
struct LateUtility : LeadingBase, VEK_Utility {
  explicit LateUtility(VEK_Manager* m) : VEK_Utility(m) {}
};
struct LateObject : LeadingBase, VEK_Object {
  explicit LateObject(VEK_Manager* m) : VEK_Object(m) {}
  bool terminate() override { return true; }
};
}  // namespace

TEST(Roots, DestroyGivesBackTheAllocationWhereverTheLibraryBaseSits) {
  VEK_TestManager m;
  const size_t before = m.memory_manager().live();
  LateUtility* utility = vek_new<LateUtility>(&m);
  ASSERT_NE(utility, nullptr);
  VEK_Utility* as_utility = utility;
  ASSERT_NE(static_cast<void*>(as_utility), static_cast<void*>(utility));
  EXPECT_TRUE(as_utility->destroy());

  // Ended through the relation table, directly and as the last dependency of another.
  LateObject* used = vek_new<LateObject>(&m);
  LateObject* user = vek_new<LateObject>(&m);
  ASSERT_NE(used, nullptr);
  ASSERT_NE(user, nullptr);
  ASSERT_NE(static_cast<void*>(static_cast<VEK_Object*>(used)), static_cast<void*>(used));
  ASSERT_TRUE(user->depend(used));
  EXPECT_TRUE(used->destroy());
  EXPECT_TRUE(user->destroy());
  EXPECT_EQ(m.memory_manager().foreign_frees(), 0u);
  EXPECT_EQ(m.memory_manager().live(), before);
  EXPECT_TRUE(m.relation()->empty());
}

namespace {
class NoisySink : public VEK_NoOutputEngine {
 public:
  NoisySink(VEK_Manager* m) : VEK_NoOutputEngine(m) {}
  bool execute() override { return false; }
  bool terminate() override {
    manager_->report(code_, "NoisySink::terminate()", "noisy", 2);
    return true;
  }
  uint32_t code_ = 0;
};

void register_noisy(VEK_TestManager& m, uint32_t code) {
  NoisySink* s = vek_new<NoisySink>(&m);
  s->code_ = code;
  s->created(true);
  ASSERT_EQ(m.regist(s, nullptr), s);
}
}  // namespace

TEST(Manager, TearDownReportsAreNotLost) {
  VEK_TestManager m;
  VEK_Status st(&m);
  register_noisy(m, 0x40400000u);
  EXPECT_TRUE(m.status(st));
  EXPECT_EQ(st.full_code(), 0x40400000u);
  EXPECT_STREQ(st.method(), "NoisySink::terminate()");

  register_noisy(m, 0x80020000u);
  EXPECT_FALSE(m.status(st));
  EXPECT_EQ(st.full_code(), 0x80020000u);

  // A warning of the job itself gives way to an error of the tear-down.
  m.report(0x40400000u, "Job::warn()", "j", 3);
  register_noisy(m, 0x80020000u);
  EXPECT_FALSE(m.status(st));
  EXPECT_STREQ(st.method(), "NoisySink::terminate()");

  // An error of the job stays.
  m.report(0x80800000u, "Job::fail()", "j", 4);
  register_noisy(m, 0x81000000u);
  EXPECT_FALSE(m.status(st));
  EXPECT_STREQ(st.method(), "Job::fail()");
  EXPECT_EQ(m.status().full_code(), 0u);
  EXPECT_TRUE(m.relation()->empty());
}

TEST(Manager, NoOutputEngineRefusesOutputQuestions) {
  VEK_TestManager m;
  NoisySink* s = vek_new<NoisySink>(&m);
  EXPECT_EQ(s->header(), nullptr);
  EXPECT_EQ(m.status().line(), 32u);
  m.clear();
  EXPECT_EQ(s->src_buffer(), nullptr);
  EXPECT_EQ(m.status().line(), 43u);
  m.clear();
  EXPECT_EQ(s->branch(2).size(), 0u);
  EXPECT_EQ(m.status().line(), 55u);
  s->code_ = 0;
  s->destroy();
  m.clear();
}

TEST(Chain, OneReaderChainWritesStraightIntoTheReadersMemory) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make_gray(h, 32, 50);
  TestFamily family(&m);
  VEK_RewriteHeader pass(&m);
  VEK_Engine* pattern = family.pattern(h, 3);
  VEK_Engine* nop = pass.engine(pattern, &h);
  std::vector<uint8_t> out;
  VEK_Engine* sink = family.collect(nop, &out);
  auto real_of = [](VEK_Engine* e) {
    auto* proxy = static_cast<VEK_DstBufferProxy*>(static_cast<VEK_BufferOutputEngine*>(e)->dst_buffer());
    return static_cast<VEK_STBlockDstBuffer*>(proxy->real());
  };
  VEK_STBlockDstBuffer* upstream = real_of(pattern);
  VEK_STBlockDstBuffer* downstream = real_of(nop);
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(sink->execute());
    // The pattern's buffer only ever held blocks lent by the pass-through engine: nothing
    // owned, nothing cached, so no pixel byte was copied between the two.
    EXPECT_TRUE(upstream->cache_empty());
    for (uint32_t b = 0; b < upstream->block_count(); ++b) EXPECT_FALSE(upstream->block(b)->owned);
  }
  EXPECT_GT(downstream->written(), 0u);
  run(sink);
  EXPECT_EQ(out, expected_pattern(32, 50, 3));
  m.clear();
  EXPECT_EQ(m.memory_manager().live(), parts(m));
}

namespace {
// Adds two 8-bit images of one size, line by line.
class AddEngine : public VEK_MultiInputProcessEngine {
 public:
  using VEK_MultiInputProcessEngine::initiate;
  using VEK_MultiInputProcessEngine::VEK_MultiInputProcessEngine;
  bool initiate(const VEK_Vector<const VEK_Header*>& headers, const VEK_Vector<VEK_SrcBuffer*>& sources,
                VEK_DstBuffer* destination, int) {
    if (!VEK_MultiInputProcessEngine::initiate(headers, sources, destination)) return false;
    const uint32_t line = out_header_.line_bytes();
    for (uint32_t i = 0; i < src_buffer_num(); ++i)
      if (!VEK_NBuffersInputEngine::src_buffer(i)->block_bytes(line)) return false;
    return dst_->block_bytes(line);
  }
  bool execute() override {
    if (line_ == out_header_.height()) return false;
    const auto* a = static_cast<const uint8_t*>(VEK_NBuffersInputEngine::src_buffer(0)->get(nullptr));
    const auto* b = static_cast<const uint8_t*>(VEK_NBuffersInputEngine::src_buffer(1)->get(nullptr));
    auto* out = static_cast<uint8_t*>(dst_->get());
    if (a == nullptr || b == nullptr || out == nullptr) return false;
    for (uint32_t i = 0; i < out_header_.line_bytes(); ++i) out[i] = uint8_t(a[i] + b[i]);
    ++line_;
    return VEK_NBuffersInputEngine::src_buffer(0)->release() && VEK_NBuffersInputEngine::src_buffer(1)->release() &&
           dst_->release(out_header_.line_bytes());
  }

 private:
  uint32_t line_ = 0;
};

class AddFamily : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  // with_second = false hands the engine two headers and only one source.
  VEK_Engine* engine(VEK_Engine* first, VEK_Engine* second, bool with_second = true) {
    VEK_Vector<const VEK_Header*> headers(manager_);
    VEK_Vector<VEK_SrcBuffer*> sources(manager_);
    headers.push_back(first->header());
    headers.push_back(second->header());
    sources.push_back(first->src_buffer());
    VEK_SrcBuffer* other = second->src_buffer();
    if (with_second) sources.push_back(other);
    VEK_DstBuffer* destination = manager_->create_dst_buffer();
    AddEngine* e = vek_new<AddEngine>(manager_);
    VEK_Engine* made = initiated(e, e != nullptr && e->initiate(headers, sources, destination, 0));
    if (!with_second) vek_destroy(other);
    return regist_engine(made, sources, destination);
  }
};
}  // namespace

TEST(Chain, SeveralInputsMeetInOneEngine) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make_gray(h, 6, 4);
  TestFamily family(&m);
  AddFamily add(&m);
  std::vector<uint8_t> out;
  run(family.collect(add.engine(family.pattern(h, 1), family.pattern(h, 2)), &out));
  const auto a = expected_pattern(6, 4, 1), b = expected_pattern(6, 4, 2);
  ASSERT_EQ(out.size(), a.size());
  for (size_t i = 0; i < a.size(); ++i) ASSERT_EQ(out[i], uint8_t(a[i] + b[i]));
  VEK_Status st(&m);
  EXPECT_TRUE(m.status(st));

  // Two headers and one source: refused, nothing kept.
  EXPECT_EQ(add.engine(family.pattern(h, 1), family.pattern(h, 2), false), nullptr);
  EXPECT_REPORT(m, 0x80800000u, "VEK_NBuffersInputEngine::initiate()", 55u);
  EXPECT_EQ(m.memory_manager().live(), parts(m));
}

TEST(Chain, RewriteHeaderKeepsBlockSizesForEncodedHeaders) {
  VEK_TestManager m;
  VEK_Header h(&m), encoded(&m);
  make_gray(h, 10, 10);
  make_gray(encoded, 10, 10);
  encoded.encode_type(VEK_EncodeType_qk_rle::instance());
  TestFamily family(&m);
  VEK_Engine* source = family.pattern(h, 0, 25);
  VEK_Engine* e = VEK_RewriteHeader(&m).engine(source, &encoded);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(static_cast<VEK_BufferOutputEngine*>(e)->dst_buffer()->block_bytes(), 25u);
  EXPECT_TRUE(VEK_EncodeType::is_raw(source->header()->encode_type()));
  EXPECT_FALSE(VEK_EncodeType::is_raw(e->header()->encode_type()));
  VEK_Engine* raw = VEK_RewriteHeader(&m).engine(family.pattern(h, 0, 25), &h);
  EXPECT_EQ(static_cast<VEK_BufferOutputEngine*>(raw)->dst_buffer()->block_bytes(), 10u);
  m.clear();
  EXPECT_EQ(m.memory_manager().live(), parts(m));
}
