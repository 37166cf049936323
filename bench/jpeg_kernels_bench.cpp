// Dequantisation with the inverse DCT at level 0 and at the machine's level, against
// libjpeg-turbo's complete single-threaded decode of the same 1024 x 1024 grey baseline stream
// (quality 90) made in the same run. Every figure is a rate of 8x8 blocks per second, so
// "blocks/s" of the kernel over "blocks/s" of the decode is the ratio the transform budget needs.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <jpeglib.h>
#include <turbojpeg.h>

#include "processor/kernel_dispatch.h"

namespace {

constexpr int kSide = 1024;

struct Stream {
    std::vector<unsigned char> jpeg;
    std::vector<int16_t> blocks;   // natural order, 64 per block
    uint16_t table[64];
    size_t block_count = 0;
};

// A smooth scene with edges and a little noise, so the stream carries ordinary detail.
std::vector<unsigned char> scene()
{
    std::vector<unsigned char> px(size_t(kSide) * kSide);
    uint32_t seed = 2024;
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x) {
            seed = seed * 1103515245u + 12345u;
            double v = 128 + 60 * std::sin(x * 0.013) * std::cos(y * 0.021) + 0.05 * (x - y);
            if (((x / 97) + (y / 61)) % 3 == 0)
                v += 35;
            v += double(int(seed >> 16 & 15) - 8);
            px[size_t(y) * kSide + x] = static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : v);
        }
    return px;
}

Stream make_stream()
{
    Stream s;
    const std::vector<unsigned char> px = scene();
    tjhandle enc = tjInitCompress();
    unsigned char* buf = nullptr;
    unsigned long size = 0;
    if (tjCompress2(enc, px.data(), kSide, 0, kSide, TJPF_GRAY, &buf, &size, TJSAMP_GRAY, 90, 0) != 0)
        throw std::runtime_error(tjGetErrorStr2(enc));
    s.jpeg.assign(buf, buf + size);
    tjFree(buf);
    tjDestroy(enc);

    jpeg_decompress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, s.jpeg.data(), static_cast<unsigned long>(s.jpeg.size()));
    jpeg_read_header(&cinfo, TRUE);
    jvirt_barray_ptr* coefs = jpeg_read_coefficients(&cinfo);
    jpeg_component_info* comp = &cinfo.comp_info[0];
    for (int i = 0; i < 64; ++i)
        s.table[i] = comp->quant_table->quantval[i];   // natural order
    for (JDIMENSION row = 0; row < comp->height_in_blocks; ++row) {
        JBLOCKARRAY line =
            (*cinfo.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&cinfo), coefs[0], row, 1, FALSE);
        for (JDIMENSION col = 0; col < comp->width_in_blocks; ++col)
            s.blocks.insert(s.blocks.end(), line[0][col], line[0][col] + 64);
    }
    s.block_count = s.blocks.size() / 64;
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return s;
}

const Stream& stream()
{
    static const Stream s = make_stream();
    return s;
}

void BM_TurboFullDecode(benchmark::State& state)
{
    const Stream& s = stream();
    std::vector<unsigned char> out(size_t(kSide) * kSide);
    tjhandle dec = tjInitDecompress();
    for (auto _ : state) {
        if (tjDecompress2(dec, s.jpeg.data(), static_cast<unsigned long>(s.jpeg.size()), out.data(), kSide, 0, kSide,
                          TJPF_GRAY, 0) != 0)
            state.SkipWithError(tjGetErrorStr2(dec));
        benchmark::DoNotOptimize(out.data());
    }
    tjDestroy(dec);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(s.block_count));
    state.counters["stream_bytes"] = double(s.jpeg.size());
}

// Through the stub, as the decoder calls it, with the level set first.
void dequant_idct(benchmark::State& state, int level)
{
    const Stream& s = stream();
    if (level > dispatch_supported_level()) {
        state.SkipWithError("level not supported by this processor");
        return;
    }
    const int32_t saved = dispatch_level.load();
    dispatch_set_level(level);
    std::vector<int16_t> out(s.blocks.size());
    for (auto _ : state) {
        for (size_t b = 0; b < s.block_count; ++b)
            dequant_idct_8x8(s.blocks.data() + 64 * b, out.data() + 64 * b, s.table);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    dispatch_level.store(saved);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(s.block_count));
    state.SetLabel("level " + std::to_string(level));
}

void BM_DequantIdctLevel0(benchmark::State& state)
{
    dequant_idct(state, 0);
}

void BM_DequantIdctMachineLevel(benchmark::State& state)
{
    const int32_t saved = dispatch_level.load();
    dispatch_init();
    const int32_t machine = dispatch_level.load();
    dispatch_level.store(saved);
    dequant_idct(state, machine);
}

BENCHMARK(BM_TurboFullDecode)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DequantIdctLevel0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DequantIdctMachineLevel)->Unit(benchmark::kMicrosecond);

}   // namespace
