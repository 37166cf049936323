// One frame of a DICOM file through VEK_ReadDICOM into memory: a 512 x 512 s16 RLE CT against
// DCMTK's RLE decoder (DcmRLEDecoder per segment, then the byte planes joined into samples, as
// its codec does), plus native CT, planar RGB and YBR_FULL_422 for the record.
#include <benchmark/benchmark.h>
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcrledec.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "vek_managerimpl.h"
#include "vek_memory.h"
#include "vek_memorystorage.h"
#include "vek_readdicom.h"
#include "vek_test_dicom.h"

namespace {

std::vector<uint8_t> colour_file(const char* photometric, uint16_t planar, uint32_t value_bytes) {
  DicomBytes d = DicomBytes::part10("1.2.840.10008.1.2.1");
  d.us(0x0028, 0x0002, {3});
  d.text(0x0028, 0x0004, "CS", photometric);
  d.us(0x0028, 0x0006, {planar});
  d.us(0x0028, 0x0010, {512});
  d.us(0x0028, 0x0011, {512});
  d.us(0x0028, 0x0100, {8});
  d.us(0x0028, 0x0101, {8});
  d.us(0x0028, 0x0102, {7});
  d.us(0x0028, 0x0103, {0});
  std::vector<uint8_t> pixels(value_bytes);
  for (uint32_t i = 0; i < value_bytes; ++i) pixels[i] = uint8_t(i * 7 + i / 512);
  d.element(0x7FE0, 0x0010, "OB", pixels);
  return d.bytes;
}

// Loads the file once; each iteration builds and runs the chain of frame 0 into memory.
void read_frames(benchmark::State& state, const std::vector<uint8_t>& file) {
  VEK_DefaultManager m;
  auto* storage = vek_create<VEK_ByteArrayInputStorage>(&m, file.data(), int32_t(file.size()));
  VEK_DICOMInfo info(&m);
  if (storage == nullptr || !info.load(storage)) {
    state.SkipWithError("fixture did not load");
    return;
  }
  std::vector<uint8_t> out(uint64_t(info.line_bytes()) * info.height());
  for (auto _ : state) {
    VEK_Engine* e = VEK_ReadDICOM(&m).engine(storage, info, 0);
    VEK_Engine* sink = e != nullptr ? VEK_WriteMemory(&m).engine(e, out.data(), uint32_t(out.size())) : nullptr;
    if (sink == nullptr) {
      state.SkipWithError("no chain");
      break;
    }
    while (sink->execute()) {
    }
    benchmark::DoNotOptimize(out.data());
    if (!m.clear()) {
      state.SkipWithError("chain failed");
      break;
    }
  }
  storage->destroy();
  state.counters["MP/s"] =
      benchmark::Counter(double(info.width()) * info.height(), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_VekRleCT(benchmark::State& state) { read_frames(state, read_fixture("rle_ct_dcmtk.dcm")); }
BENCHMARK(BM_VekRleCT)->Unit(benchmark::kMicrosecond);

void BM_DcmtkRleCT(benchmark::State& state) {
  const std::vector<uint8_t> file = read_fixture("rle_ct_dcmtk.dcm");
  VEK_DefaultManager m;
  VEK_DICOMInfo info(&m);
  if (!load_bytes(info, m, file)) {
    state.SkipWithError("fixture did not load");
    return;
  }
  const uint32_t at = info.get_frame_positions(0)[0], length = info.get_frame_lengths(0)[0];
  std::vector<uint8_t> frame(file.begin() + at, file.begin() + at + length);
  uint32_t offsets[3];
  std::memcpy(offsets, frame.data() + 4, 8);
  offsets[2] = length;
  const size_t plane = 512 * 512;
  std::vector<uint16_t> out(plane);
  for (auto _ : state) {
    DcmRLEDecoder high(plane), low(plane);
    high.decompress(frame.data() + offsets[0], offsets[1] - offsets[0]);
    low.decompress(frame.data() + offsets[1], offsets[2] - offsets[1]);
    if (high.fail() || low.fail()) {
      state.SkipWithError("DCMTK failed");
      break;
    }
    const uint8_t* h = static_cast<const uint8_t*>(high.getOutputBuffer());
    const uint8_t* l = static_cast<const uint8_t*>(low.getOutputBuffer());
    for (size_t i = 0; i < plane; ++i) out[i] = uint16_t(h[i] << 8 | l[i]);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["MP/s"] = benchmark::Counter(double(plane), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_DcmtkRleCT)->Unit(benchmark::kMicrosecond);

void BM_VekNativeCT(benchmark::State& state) { read_frames(state, read_fixture("ct_explicit.dcm")); }
BENCHMARK(BM_VekNativeCT)->Unit(benchmark::kMicrosecond);

void BM_VekPlanarRGB(benchmark::State& state) { read_frames(state, colour_file("RGB", 1, 512 * 512 * 3)); }
BENCHMARK(BM_VekPlanarRGB)->Unit(benchmark::kMicrosecond);

void BM_VekYbrFull422(benchmark::State& state) { read_frames(state, colour_file("YBR_FULL_422", 0, 512 * 512 * 2)); }
BENCHMARK(BM_VekYbrFull422)->Unit(benchmark::kMicrosecond);

}  // namespace
