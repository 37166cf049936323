// A DICOMDIR of 5,650 records (20 patients, 40 studies, 250 series, 5,340 images) loaded
// from a file: VEK_FileInputStorage and VEK_DICOMDIRInfo::load against gdcm::Reader plus
// reading each record's fields, and DCMTK's DcmDicomDir, in one run. The heap each holds
// after the load is reported per record.
#include <benchmark/benchmark.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdicdir.h>
#include <dcmtk/oflog/oflog.h>
#include <gdcmReader.h>
#include <gdcmSequenceOfItems.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "vek_dicomdirinfo.h"
#include "vek_fileinputstorage.h"
#include "vek_managerimpl.h"
#include "vek_test_dicom.h"

namespace {

constexpr int kPatients = 20, kStudies = 40, kSeries = 250, kImages = 5340;
constexpr int kRecords = kPatients + kStudies + kSeries + kImages;

struct Node {
  int level;
  int index;
  int first_child = -1;
  int next = -1;
};

// One record's item body; offsets are fixed-size, so sizes do not depend on them.
std::vector<uint8_t> record(const Node& n, uint32_t next, uint32_t lower) {
  DicomBytes d;
  d.element(0x0004, 0x1400, "UL", {uint8_t(next), uint8_t(next >> 8), uint8_t(next >> 16), uint8_t(next >> 24)});
  d.us(0x0004, 0x1410, {0xFFFF});
  d.element(0x0004, 0x1420, "UL", {uint8_t(lower), uint8_t(lower >> 8), uint8_t(lower >> 16), uint8_t(lower >> 24)});
  const std::string i = std::to_string(n.index);
  switch (n.level) {
    case 0:
      d.text(0x0004, 0x1430, "CS", "PATIENT");
      d.text(0x0008, 0x0005, "CS", "ISO_IR 100");
      d.text(0x0010, 0x0010, "PN", "PATIENT^NUMBER" + i);
      d.text(0x0010, 0x0020, "LO", "PID" + i);
      d.text(0x0010, 0x0030, "DA", "19700101");
      d.text(0x0010, 0x0040, "CS", "O");
      break;
    case 1:
      d.text(0x0004, 0x1430, "CS", "STUDY");
      d.text(0x0008, 0x0005, "CS", "ISO_IR 100");
      d.text(0x0008, 0x0020, "DA", "20260101");
      d.text(0x0008, 0x0030, "TM", "120000");
      d.text(0x0008, 0x0050, "SH", "ACC" + i);
      d.text(0x0008, 0x1030, "LO", "CHEST CT WITH CONTRAST");
      d.text(0x0020, 0x000D, "UI", "1.2.826.0.1.3680043.2.1125.20." + i);
      d.text(0x0020, 0x0010, "SH", i);
      break;
    case 2:
      d.text(0x0004, 0x1430, "CS", "SERIES");
      d.text(0x0008, 0x0005, "CS", "ISO_IR 100");
      d.text(0x0008, 0x0060, "CS", "CT");
      d.text(0x0008, 0x103E, "LO", "AXIAL 1.25MM");
      d.text(0x0020, 0x000E, "UI", "1.2.826.0.1.3680043.2.1125.30." + i);
      d.text(0x0020, 0x0011, "IS", i);
      break;
    default:
      d.text(0x0004, 0x1430, "CS", "IMAGE");
      d.text(0x0004, 0x1500, "CS", "DICOM\\ST" + std::to_string(n.index % 40) + "\\IM" + i);
      d.text(0x0004, 0x1510, "UI", "1.2.840.10008.5.1.4.1.1.2");
      d.text(0x0004, 0x1511, "UI", "1.2.826.0.1.3680043.2.1125.40." + i);
      d.text(0x0004, 0x1512, "UI", "1.2.840.10008.1.2.1");
      d.text(0x0008, 0x0005, "CS", "ISO_IR 100");
      d.text(0x0008, 0x0008, "CS", "ORIGINAL\\PRIMARY\\AXIAL");
      d.text(0x0020, 0x0013, "IS", std::to_string(n.index % 22 + 1));
      d.text(0x0020, 0x0032, "DS", "-125.5\\-130\\" + std::to_string(n.index % 22 * 1.25));
      d.text(0x0020, 0x0037, "DS", "1\\0\\0\\0\\1\\0");
      d.us(0x0028, 0x0010, {512});
      d.us(0x0028, 0x0011, {512});
      d.text(0x0028, 0x0030, "DS", "0.683594\\0.683594");
      break;
  }
  return d.bytes;
}

std::vector<uint8_t> dicomdir_bytes() {
  // The tree in stream order: each record followed by its subtree, as media writers lay it out.
  std::vector<Node> nodes;
  const int per_level[4] = {kPatients, kStudies, kSeries, kImages};
  int counters[4] = {0, 0, 0, 0};
  std::vector<int> order;
  auto children = [&](int level, int parent_index) {
    // Spread each level evenly over the one above.
    const int total = per_level[level], parents = per_level[level - 1];
    return total / parents + (parent_index < total % parents ? 1 : 0);
  };
  auto add = [&](auto&& self, int level, int parent_slot) -> int {
    const int slot = int(nodes.size());
    nodes.push_back({level, counters[level]++});
    if (level < 3) {
      int previous = -1;
      for (int k = 0, n = children(level + 1, nodes[slot].index); k < n; ++k) {
        const int child = self(self, level + 1, slot);
        if (previous < 0) nodes[slot].first_child = child; else nodes[previous].next = child;
        previous = child;
      }
    }
    (void)parent_slot;
    return slot;
  };
  int previous = -1;
  for (int p = 0; p < kPatients; ++p) {
    const int slot = add(add, 0, -1);
    if (previous >= 0) nodes[previous].next = slot;
    previous = slot;
  }
  DicomBytes head;
  DicomBytes meta;
  meta.text(0x0002, 0x0002, "UI", "1.2.840.10008.1.3.10");
  meta.text(0x0002, 0x0010, "UI", "1.2.840.10008.1.2.1");
  head.bytes.assign(128, 0);
  for (char c : std::string("DICM")) head.bytes.push_back(uint8_t(c));
  head.element(0x0002, 0x0000, "UL", {uint8_t(meta.size()), uint8_t(meta.size() >> 8), 0, 0});
  head.raw(meta.bytes);
  head.text(0x0004, 0x1130, "CS", "BENCH");
  const size_t first_at = head.element(0x0004, 0x1200, "UL", {0, 0, 0, 0});
  const size_t last_at = head.element(0x0004, 0x1202, "UL", {0, 0, 0, 0});
  head.us(0x0004, 0x1212, {0});
  head.head(0x0004, 0x1220, "SQ", 0xFFFFFFFF);
  std::vector<uint32_t> position(nodes.size());
  uint32_t at = uint32_t(head.size());
  for (size_t k = 0; k < nodes.size(); ++k) {
    position[k] = at;
    at += 8 + uint32_t(record(nodes[k], 0, 0).size());
  }
  // The first and last patient, for readers that start from the root's offsets.
  const uint32_t first = position[0], last = position[size_t(previous)];
  for (int b = 0; b < 4; ++b) {
    head.bytes[first_at + b] = uint8_t(first >> (8 * b));
    head.bytes[last_at + b] = uint8_t(last >> (8 * b));
  }
  for (size_t k = 0; k < nodes.size(); ++k) {
    const std::vector<uint8_t> body = record(nodes[k], nodes[k].next < 0 ? 0 : position[nodes[k].next],
                                             nodes[k].first_child < 0 ? 0 : position[nodes[k].first_child]);
    head.u16(0xFFFE);
    head.u16(0xE000);
    head.u32(uint32_t(body.size()));
    head.raw(body);
  }
  head.u16(0xFFFE);
  head.u16(0xE0DD);
  head.u32(0);
  return head.bytes;
}

struct File {
  std::string path;
  File() {
    char name[] = "/tmp/vek_dicomdir_bench_XXXXXX";
    const int fd = ::mkstemp(name);
    path = name;
    const std::vector<uint8_t> bytes = dicomdir_bytes();
    if (::write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size())) std::abort();
    ::close(fd);
  }
  ~File() { ::unlink(path.c_str()); }
};

const File& file() {
  static const File f;
  return f;
}

size_t heap() { return mallinfo2().uordblks; }

void held_per_record(benchmark::State& state, size_t before, size_t after) {
  state.counters["heap_per_record_B"] = double(after - before) / kRecords;
}

void BM_VekDICOMDIR(benchmark::State& state) {
  const File& f = file();
  size_t before = 0, after = 0;
  for (auto _ : state) {
    VEK_DefaultManager manager;
    before = heap();
    VEK_FileInputStorage* storage = VEK_FileInputStorage::create(&manager, f.path.c_str());
    VEK_DICOMDIRInfo dir(&manager);
    if (storage == nullptr || !dir.load(storage) || dir.image_pointers.size() != uint32_t(kImages) ||
        dir.patients.size() != uint32_t(kPatients))
      state.SkipWithError("load failed");
    vek_destroy(storage);
    after = heap();
    benchmark::DoNotOptimize(dir.image_pointers[kImages - 1]->file_id.size());
  }
  held_per_record(state, before, after);
}
BENCHMARK(BM_VekDICOMDIR)->Unit(benchmark::kMillisecond);

// gdcm reads the file; each record's fields are then read as the directory reader reads them.
void BM_GdcmReader(benchmark::State& state) {
  const File& f = file();
  const gdcm::Tag fields[] = {{0x0004, 0x1400}, {0x0004, 0x1410}, {0x0004, 0x1420}, {0x0004, 0x1430},
                              {0x0004, 0x1500}, {0x0004, 0x1510}, {0x0004, 0x1511}, {0x0004, 0x1512},
                              {0x0008, 0x0008}, {0x0008, 0x0018}, {0x0008, 0x0020}, {0x0008, 0x0030},
                              {0x0008, 0x0060}, {0x0008, 0x1030}, {0x0008, 0x103E}, {0x0010, 0x0010},
                              {0x0010, 0x0020}, {0x0010, 0x0040}, {0x0020, 0x000D}, {0x0020, 0x000E},
                              {0x0020, 0x0011}, {0x0020, 0x0013}, {0x0020, 0x0032}, {0x0020, 0x0037},
                              {0x0028, 0x0010}, {0x0028, 0x0011}, {0x0028, 0x0030}};
  size_t before = 0, after = 0;
  for (auto _ : state) {
    before = heap();
    gdcm::Reader reader;
    reader.SetFileName(f.path.c_str());
    if (!reader.Read()) state.SkipWithError("read failed");
    const gdcm::DataSet& ds = reader.GetFile().GetDataSet();
    gdcm::SmartPointer<gdcm::SequenceOfItems> sq = ds.GetDataElement(gdcm::Tag(0x0004, 0x1220)).GetValueAsSQ();
    size_t bytes = 0, records = 0;
    std::vector<std::string> values;
    values.reserve(sq->GetNumberOfItems() * 8);
    for (size_t i = 1; i <= sq->GetNumberOfItems(); ++i) {
      const gdcm::DataSet& item = sq->GetItem(i).GetNestedDataSet();
      ++records;
      for (const gdcm::Tag& t : fields) {
        if (!item.FindDataElement(t)) continue;
        const gdcm::ByteValue* v = item.GetDataElement(t).GetByteValue();
        if (v != nullptr) values.emplace_back(v->GetPointer(), v->GetLength());
      }
    }
    for (const auto& v : values) bytes += v.size();
    if (records != size_t(kRecords)) state.SkipWithError("records missing");
    after = heap();
    benchmark::DoNotOptimize(bytes);
  }
  held_per_record(state, before, after);
}
BENCHMARK(BM_GdcmReader)->Unit(benchmark::kMillisecond);

void walk(DcmDirectoryRecord* r, size_t& count, size_t& bytes) {
  for (DcmDirectoryRecord* c = r->nextSub(nullptr); c != nullptr; c = r->nextSub(c)) {
    ++count;
    OFString v;
    for (const DcmTagKey& t : {DCM_PatientName, DCM_StudyInstanceUID, DCM_SeriesInstanceUID, DCM_ReferencedFileID,
                               DCM_ImagePositionPatient, DCM_PixelSpacing})
      if (c->findAndGetOFStringArray(t, v).good()) bytes += v.size();
    walk(c, count, bytes);
  }
}

void BM_DcmtkDicomDir(benchmark::State& state) {
  OFLog::configure(OFLogger::ERROR_LOG_LEVEL);
  const File& f = file();
  for (auto _ : state) {
    DcmDicomDir dir(f.path.c_str());
    size_t count = 0, bytes = 0;
    walk(&dir.getRootRecord(), count, bytes);
    if (count != size_t(kRecords)) state.SkipWithError("records missing");
    benchmark::DoNotOptimize(bytes);
  }
}
BENCHMARK(BM_DcmtkDicomDir)->Unit(benchmark::kMillisecond);

}  // namespace
