// Framework overhead of a pulled chain: a generator, N pass-through engines, a sink.
#include <benchmark/benchmark.h>

#include <cstring>

#include "vek_engine.h"
#include "vek_managerimpl.h"

namespace {

class FillEngine : public VEK_GenerateEngine {
public:
    using VEK_GenerateEngine::initiate;
    using VEK_GenerateEngine::VEK_GenerateEngine;
    bool initiate(VEK_DstBuffer* destination, const VEK_Header* header)
    {
        return VEK_GenerateEngine::initiate(header, destination) && dst_->block_bytes(out_header_.line_bytes());
    }
    bool execute() override
    {
        if (line_ == out_header_.height())
            return false;
        void* out = dst_->get();
        if (out == nullptr)
            return false;
        std::memset(out, int(line_++), out_header_.line_bytes());
        return dst_->release(out_header_.line_bytes());
    }

private:
    uint32_t line_ = 0;
};

class TouchEngine : public VEK_AnalyzeLineEngine {
public:
    using VEK_AnalyzeLineEngine::initiate;
    using VEK_AnalyzeLineEngine::VEK_AnalyzeLineEngine;
    bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, uint64_t* sum)
    {
        sum_ = sum;
        return VEK_AnalyzeLineEngine::initiate(header, source);
    }
    bool analyze_line(const void* line) override
    {
        *sum_ += *static_cast<const uint8_t*>(line);
        return true;
    }

private:
    uint64_t* sum_ = nullptr;
};

class BenchFamily : public VEK_EngineCreator {
public:
    using VEK_EngineCreator::VEK_EngineCreator;
    VEK_Engine* fill(const VEK_Header& h) { return create_generator<FillEngine>(&h); }
    VEK_Engine* touch(VEK_Engine* source, uint64_t* sum) { return create_sink<TouchEngine>(source, sum); }
};

void run_chain(benchmark::State& state, uint32_t width, uint32_t height)
{
    const int nops = int(state.range(0));
    uint64_t sum = 0;
    for (auto _ : state) {
        VEK_DefaultManager m;
        VEK_Header h(&m);
        h.width(width);
        h.height(height);
        h.bits(8);
        h.channels(1);
        BenchFamily family(&m);
        VEK_RewriteHeader pass(&m);
        VEK_Engine* e = family.fill(h);
        for (int i = 0; i < nops; ++i)
            e = pass.engine(e, &h);
        VEK_Engine* sink = family.touch(e, &sum);
        while (sink->execute()) {
        }
        VEK_Status st(&m);
        if (!m.status(st))
            state.SkipWithError("chain failed");
    }
    benchmark::DoNotOptimize(sum);
    state.SetBytesProcessed(int64_t(state.iterations()) * width * height);
    state.counters["lines/s"] = benchmark::Counter(double(state.iterations()) * height, benchmark::Counter::kIsRate);
}

void BM_OnePixelWide100kLines(benchmark::State& state)
{
    run_chain(state, 1, 100000);
}
void BM_Image4096x4096(benchmark::State& state)
{
    run_chain(state, 4096, 4096);
}

}   // namespace

BENCHMARK(BM_OnePixelWide100kLines)->Arg(0)->Arg(1)->Arg(4)->Arg(16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Image4096x4096)->Arg(0)->Arg(1)->Arg(4)->Arg(16)->Unit(benchmark::kMillisecond);
