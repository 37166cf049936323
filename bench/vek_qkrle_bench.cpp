// Run-length NOT memory to memory against OpenCV's bitwise_not of the same image as 8-bit
// samples; the speed of reading and writing run lines; the chain's peak memory.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "vek_errorhandler.h"
#include "vek_managerimpl.h"
#include "vek_memory.h"
#include "vek_not.h"
#include "vek_qkrle.h"
#include "vek_qkrlelinebase.h"

namespace {

constexpr uint32_t kSize = 4096;
constexpr uint32_t kRuns = 8;

// Line y: kRuns runs of varying length spread over the width.
std::vector<uint8_t> make_stream()
{
    std::vector<uint8_t> out;
    auto word = [&](uint32_t v) {
        uint8_t b[4];
        std::memcpy(b, &v, 4);
        out.insert(out.end(), b, b + 4);
    };
    for (uint32_t y = 0; y < kSize; ++y) {
        for (uint32_t k = 0; k < kRuns; ++k) {
            const uint32_t start = k * (kSize / kRuns) + (y * 7 + k * 13) % 200;
            word(start);
            word(start + 10 + (y * 3 + k) % 250);
        }
        word(0xFFFFFFFFu);
        word(0xFFFFFFFFu);
    }
    return out;
}

const std::vector<uint8_t>& stream()
{
    static const std::vector<uint8_t> s = make_stream();
    return s;
}

void rle_header(VEK_Header& h)
{
    h.width(kSize);
    h.height(kSize);
    h.bits(1);
    h.channels(1);
    h.encode_type(VEK_EncodeType_qk_rle::instance());
}

// Counts the bytes the library holds, and the most it ever held.
class CountingMemoryManager : public VEK_MemoryManager {
public:
    void* allocate(uint32_t size) override
    {
        auto* p = static_cast<uint64_t*>(std::malloc(uint64_t(size) + 16));
        if (p == nullptr)
            return nullptr;
        p[0] = size;
        live_ += size;
        if (live_ > peak_)
            peak_ = live_;
        return p + 2;
    }
    void free(void* pointer) override
    {
        if (pointer == nullptr)
            return;
        uint64_t* p = static_cast<uint64_t*>(pointer) - 2;
        live_ -= p[0];
        std::free(p);
    }
    uint64_t live() const { return live_; }
    uint64_t peak() const { return peak_; }
    void reset_peak() { peak_ = live_; }

private:
    uint64_t live_ = 0, peak_ = 0;
};

using CountingManager = VEK_ManagerImpl<CountingMemoryManager, VEK_FirstErrorHandler, VEK_BlockWorkflow>;

// NOT of the image from the stream into out; the bytes written.
template <class M>
uint32_t not_chain(M& m, std::vector<uint8_t>& out)
{
    VEK_Header h(&m);
    rle_header(h);
    uint32_t written = 0;
    VEK_Engine* source = VEK_ReadMemory(&m).engine(h, stream().data(), uint32_t(stream().size()));
    VEK_Engine* sink =
        VEK_WriteMemory(&m).engine(VEK_Not(&m).engine(source), out.data(), uint32_t(out.size()), &written);
    if (sink != nullptr)
        while (sink->execute()) {
        }
    return written;
}

void BM_NotQKRLE(benchmark::State& state)
{
    std::vector<uint8_t> out(size_t(kSize) * max_line_bytes(kSize));
    uint64_t peak = 0;
    {
        // Once with the counting manager: the most the chain holds beyond the manager's own parts.
        CountingManager m;
        const uint64_t base = m.memory_manager().live();
        m.memory_manager().reset_peak();
        const uint32_t written = not_chain(m, out);
        peak = m.memory_manager().peak() - base;
        VEK_Status st(&m);
        if (!m.status(st) || written == 0)
            state.SkipWithError("NOT chain failed");
    }
    for (auto _ : state) {
        VEK_DefaultManager m;
        const uint32_t written = not_chain(m, out);
        VEK_Status st(&m);
        if (!m.status(st) || written == 0)
            state.SkipWithError("NOT chain failed");
    }
    state.counters["peak_bytes"] = double(peak);
    state.counters["peak/stream"] = double(peak) / double(stream().size());
    state.counters["lines/s"] = benchmark::Counter(double(state.iterations()) * kSize, benchmark::Counter::kIsRate);
}

void BM_OpenCVBitwiseNot(benchmark::State& state)
{
    cv::setNumThreads(1);
    // The same image expanded to 8-bit samples, set pixels 255.
    const int n = int(kSize);
    cv::Mat src(n, n, CV_8UC1, cv::Scalar(0)), dst(n, n, CV_8UC1);
    const std::vector<uint8_t>& s = stream();
    uint32_t y = 0;
    for (size_t i = 0; i < s.size(); i += 8) {
        uint32_t start, end;
        std::memcpy(&start, &s[i], 4);
        std::memcpy(&end, &s[i + 4], 4);
        if (start == 0xFFFFFFFFu) {
            ++y;
            continue;
        }
        std::memset(src.ptr<uint8_t>(int(y)) + start, 255, end - start + 1);
    }
    for (auto _ : state) {
        cv::bitwise_not(src, dst);
        benchmark::DoNotOptimize(dst.data);
        benchmark::ClobberMemory();
    }
    state.counters["lines/s"] = benchmark::Counter(double(state.iterations()) * kSize, benchmark::Counter::kIsRate);
}

// Reading: every line of the stream through the line reader, every run taken.
void BM_QKRLELineRead(benchmark::State& state)
{
    uint64_t runs = 0;
    for (auto _ : state) {
        VEK_DefaultManager m;
        VEK_Header h(&m);
        rle_header(h);
        VEK_Engine* source = VEK_ReadMemory(&m).engine(h, stream().data(), uint32_t(stream().size()));
        VEK_SrcBuffer* reader = source != nullptr ? source->src_buffer() : nullptr;
        VEK_QKRLELine* line = VEK_QKRLELine::create(&m, reader, &h);
        if (line == nullptr) {
            state.SkipWithError("no line reader");
            break;
        }
        uint32_t start = 0, end = 0;
        while (line->get_next_line())
            while (line->runs().get_next_run(start, end))
                ++runs;
        line->destroy();
        reader->destroy();
        VEK_Status st(&m);
        if (!m.status(st))
            state.SkipWithError("reading failed");
    }
    state.counters["runs/s"] = benchmark::Counter(double(runs), benchmark::Counter::kIsRate);
}

// Writing: a generator that builds each line in a run vector and writes it with put_runs.
class RunLineEngine : public VEK_GenerateEngine {
public:
    using VEK_GenerateEngine::initiate;
    using VEK_GenerateEngine::VEK_GenerateEngine;
    bool initiate(VEK_DstBuffer* destination, const VEK_Header* header)
    {
        return VEK_GenerateEngine::initiate(header, destination) &&
               dst_->block_bytes(uint32_t(max_line_bytes(out_header_.width())));
    }
    bool execute() override
    {
        if (line_ == out_header_.height())
            return false;
        runs_.clear();
        for (uint32_t k = 0; k < kRuns; ++k) {
            const uint32_t start = k * (kSize / kRuns) + (line_ * 7 + k * 13) % 200;
            if (!runs_.add_run(start, start + 10))
                return false;
        }
        ++line_;
        return runs_.put_runs(dst_);
    }

private:
    uint32_t line_ = 0;
    VEK_QKRLERunVector runs_{manager_};
};

class RunLines : public VEK_EngineCreator {
public:
    using VEK_EngineCreator::VEK_EngineCreator;
    VEK_Engine* engine(const VEK_Header& h) { return create_generator<RunLineEngine>(&h); }
};

void BM_QKRLELineWrite(benchmark::State& state)
{
    std::vector<uint8_t> out(stream().size());
    for (auto _ : state) {
        VEK_DefaultManager m;
        VEK_Header h(&m);
        rle_header(h);
        uint32_t written = 0;
        VEK_Engine* sink =
            VEK_WriteMemory(&m).engine(RunLines(&m).engine(h), out.data(), uint32_t(out.size()), &written);
        if (sink != nullptr)
            while (sink->execute()) {
            }
        VEK_Status st(&m);
        if (!m.status(st) || written != out.size())
            state.SkipWithError("writing failed");
    }
    state.counters["runs/s"] =
        benchmark::Counter(double(state.iterations()) * kSize * kRuns, benchmark::Counter::kIsRate);
}

}   // namespace

BENCHMARK(BM_NotQKRLE)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenCVBitwiseNot)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_QKRLELineRead)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_QKRLELineWrite)->Unit(benchmark::kMicrosecond);
