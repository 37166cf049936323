// Header reading: our codec against libjpeg-turbo's jpeg_read_header on the same bytes. Each
// iteration makes a decoder, reads the header up to the first scan and destroys the decoder.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include <jpeglib.h>

#include "jpeg/jpegdecoder.h"

namespace {

// A 1024 x 1024 colour image with some texture, so the entropy-coded data has a realistic size.
std::vector<uint8_t> Encode(bool progressive, size_t app2_bytes)
{
    const int size = 1024;
    std::vector<uint8_t> pixels(static_cast<size_t>(size) * size * 3);
    uint32_t noise = 12345;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            noise = noise * 1103515245u + 12345u;
            uint8_t* p = &pixels[(static_cast<size_t>(y) * size + x) * 3];
            p[0] = static_cast<uint8_t>(x / 4 + (noise >> 28));
            p[1] = static_cast<uint8_t>(y / 4 + (noise >> 29));
            p[2] = static_cast<uint8_t>((x + y) / 8);
        }
    }
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long out_size = 0;
    jpeg_mem_dest(&cinfo, &out, &out_size);
    cinfo.image_width = size;
    cinfo.image_height = size;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 85, TRUE);
    if (progressive) {
        jpeg_simple_progression(&cinfo);
    }
    jpeg_start_compress(&cinfo, TRUE);
    if (app2_bytes != 0) {
        std::vector<uint8_t> profile(app2_bytes);
        for (size_t i = 0; i < profile.size(); ++i) {
            profile[i] = static_cast<uint8_t>(i * 7);
        }
        jpeg_write_marker(&cinfo, JPEG_APP0 + 2, profile.data(), static_cast<unsigned>(profile.size()));
    }
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = &pixels[static_cast<size_t>(cinfo.next_scanline) * size * 3];
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    std::vector<uint8_t> bytes(out, out + out_size);
    jpeg_destroy_compress(&cinfo);
    std::free(out);
    return bytes;
}

const std::vector<uint8_t>& Baseline()
{
    static const std::vector<uint8_t> bytes = Encode(false, 60 * 1024);
    return bytes;
}

const std::vector<uint8_t>& Progressive()
{
    static const std::vector<uint8_t> bytes = Encode(true, 0);
    return bytes;
}

void Ours(benchmark::State& state, const std::vector<uint8_t>& bytes)
{
    for (auto _ : state) {
        jpeg_decoder* decoder = jpeg_decoder_create(nullptr, nullptr);
        jpeg_source source{};
        jpeg_mem_source_create(decoder, bytes.data(), bytes.size(), &source);
        jpeg_set_source(decoder, &source);
        const jpeg_status status =
            jpeg_read_header(decoder, JPEG_COLOR_NONE, static_cast<uint32_t>(bytes.size()), nullptr);
        if (status < 1 || jpeg_width(decoder) != 1024) {
            state.SkipWithError("header not read");
        }
        benchmark::DoNotOptimize(jpeg_height(decoder));
        jpeg_decoder_destroy(decoder);
    }
    state.SetItemsProcessed(state.iterations());
}

void Turbo(benchmark::State& state, const std::vector<uint8_t>& bytes)
{
    jpeg_error_mgr jerr;
    for (auto _ : state) {
        jpeg_decompress_struct cinfo;
        cinfo.err = jpeg_std_error(&jerr);
        jpeg_create_decompress(&cinfo);
        jpeg_mem_src(&cinfo, bytes.data(), static_cast<unsigned long>(bytes.size()));
        if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK || cinfo.image_width != 1024) {
            state.SkipWithError("header not read");
        }
        benchmark::DoNotOptimize(cinfo.image_height);
        jpeg_destroy_decompress(&cinfo);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_HeaderBaselineApp2_Ours(benchmark::State& state)
{
    Ours(state, Baseline());
}
void BM_HeaderBaselineApp2_Turbo(benchmark::State& state)
{
    Turbo(state, Baseline());
}
void BM_HeaderProgressive_Ours(benchmark::State& state)
{
    Ours(state, Progressive());
}
void BM_HeaderProgressive_Turbo(benchmark::State& state)
{
    Turbo(state, Progressive());
}

}   // namespace

BENCHMARK(BM_HeaderBaselineApp2_Ours);
BENCHMARK(BM_HeaderBaselineApp2_Turbo);
BENCHMARK(BM_HeaderProgressive_Ours);
BENCHMARK(BM_HeaderProgressive_Turbo);
