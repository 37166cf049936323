#include "vekfuzzentry.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include "vek_dicomdirinfo.h"

#include "pyrtextnumberoracle.h"
#include "vek_dicominfo.h"
#include "vek_managerimpl.h"
#include "vek_memory.h"
#include "vek_memorystorage.h"
#include "vek_readdicom.h"
#include "vek_readdicomrleframe.h"

namespace {

// Frames above this are skipped, so that a hostile size costs no memory.
constexpr uint64_t kMaxFrameBytes = 16u << 20;
// Enough frames to reach every kind of fragment grouping without spending an input on a count.
constexpr uint32_t kMaxFrames = 64;

// Runs a chain into memory to its end; false lines and reports are the chain's business.
void drain(VEK_Manager& manager, VEK_Engine* engine) {
  if (engine == nullptr || engine->header() == nullptr) return;
  const VEK_Header* h = engine->header();
  const uint64_t bytes = uint64_t(h->line_bytes()) * h->height();
  if (bytes == 0 || bytes > kMaxFrameBytes) return;
  std::vector<uint8_t> out(bytes);
  VEK_Engine* sink = VEK_WriteMemory(&manager).engine(engine, out.data(), uint32_t(bytes));
  if (sink != nullptr)
    while (sink->execute()) {
    }
}

// A number the tag object reads (IS, DS) is the C library's reading of its text's first
// value when that takes the whole value but blanks and is finite; a value it reads as nothing,
// infinite, not a number or only in part is no value. An IS read as a double is any integer,
// and only an integer, as its text is exactly.
void check_number(const VEK_DICOMTagObj& info, uint16_t group, uint16_t element, VEK_Manager& manager) {
  const uint32_t vr = info.get_vr(group, element);
  const bool real = vr == 0x5344;  // DS
  if ((!real && vr != 0x5349) || info.get_held_length(group, element) < info.get_length(group, element)) return;
  VEK_WString text(&manager);
  if (!info.get_string(group, element, text)) return;
  std::string narrow;
  for (uint32_t i = 0; i < text.size(); ++i) {
    const char16_t c = text.c_str()[i];
    if (c == 0 || c == u'\\') break;
    narrow.push_back(c < 0x80 ? char(c) : 'x');
  }
  const PyrTextNumberOracle o = PyrJudgeTextNumber(narrow);
  const bool reads = o.decimal && std::isfinite(o.real) && (real || o.integral);
  double value = 0;
  const bool read = info.get_double(group, element, value);
  if (read != reads || (read && value != o.real)) __builtin_trap();
}

}  // namespace

int VekFuzzLoadDICOMInfo(const uint8_t* data, size_t size) {
  if (size > INT32_MAX) return 0;
  VEK_DefaultManager manager;
  auto* storage = vek_create<VEK_ByteArrayInputStorage>(&manager, data, int32_t(size));
  if (storage == nullptr) return 0;
  {
    VEK_DICOMInfo info(&manager);
    if (info.load(storage)) {
      volatile uint64_t sum = info.width() + info.height() + info.palette().entries();
      for (uint32_t k = 0; k <= info.frame_count(); ++k) {
        const VEK_Vector<unsigned int> positions = info.get_frame_positions(k);
        const VEK_Vector<unsigned int> lengths = info.get_frame_lengths(k);
        for (uint32_t i = 0; i < positions.size() && i < lengths.size(); ++i) sum = sum + positions[i] + lengths[i];
      }
      VEK_Vector<VEK_DICOMTagObj::VEK_DICOMTagInfo> tags(&manager);
      info.get_tag_infos(tags);
      // A list read as far as a caller uses it is the whole list's start.
      for (uint16_t element : {0x0020, 0x0021, 0x0022}) {
        constexpr uint32_t kFirst = 8;
        VEK_Vector<unsigned int> whole(&manager), first(&manager);
        const bool read_whole = info.get_ulong_values(0x0054, element, whole);
        const bool read_first = info.get_ulong_values(0x0054, element, first, VEK_DICOM_VR_OWN, kFirst);
        if (read_first != (read_whole || whole.size() >= kFirst)) __builtin_trap();
        for (uint32_t i = 0; read_first && i < first.size(); ++i)
          if (i >= whole.size() || first[i] != whole[i]) __builtin_trap();
      }
      for (const auto& [group, element] : {std::pair<uint16_t, uint16_t>{0x0028, 0x0008},
                                           {0x0020, 0x0013},
                                           {0x0018, 0x0050},
                                           {0x0028, 0x1053},
                                           {0x0028, 0x1050}})
        check_number(info, group, element, manager);
      for (uint16_t element : {0x3002, 0x1101}) {
        VEK_Vector<int> descriptor(&manager);
        info.get_long_values(0x0028, element, descriptor, VEK_DICOM_VR_OWN, 4);
        if (descriptor.size() > 4) __builtin_trap();
      }
      (void)sum;
      for (uint32_t k = 0; k < info.frame_count() && k < kMaxFrames; ++k) {
        if (uint64_t(info.line_bytes()) * info.height() > kMaxFrameBytes) break;
        drain(manager, VEK_ReadDICOM(&manager).engine(storage, info, k));
        manager.clear();
      }
    }
  }
  storage->destroy();
  manager.clear();
  return 0;
}

namespace {

// Reads every record and pointer the load left, as a caller would; the tree's shape.
uint64_t walk_dicomdir(const VEK_DICOMDIRInfo& dir) {
  volatile uint64_t sum = 0;
  uint64_t shape = dir.records_read();
  for (const VEK_DICOMDIRPatient& p : dir.patients)
    for (const VEK_DICOMDIRStudy& s : p.studies) {
      sum = sum + (s.parent_patient == &p) + s.common.tags.size();
      shape = shape * 31 + s.series.size() + s.study_instance_uid.size();
      for (const VEK_DICOMDIRSeries& e : s.series)
        for (const VEK_DICOMDIRImage& i : e.images) {
          sum = sum + i.file_id.size() + (i.parent_series == &e);
          shape = shape * 31 + i.file_id.size() + i.common.position + i.instance_number;
        }
    }
  for (const VEK_DICOMDIRImage* i : dir.image_pointers) {
    sum = sum + i->common.position + i->parent_patient->common.position + i->number_of_frames;
    // The geometry a loader bounds a record's frame count with, read from the record.
    for (uint16_t element : {0x0002, 0x0008, 0x0010, 0x0011, 0x0100})
      sum = sum + uint32_t(i->common.tag.get_long_value(0x0028, element));
  }
  for (const VEK_DICOMDIRSeries* e : dir.series_pointers)
    sum = sum + e->images.size() + e->parent_study->common.position;
  for (const VEK_DICOMDIRStudy* s : dir.study_pointers) sum = sum + s->series.size();
  for (const VEK_DICOMDIRPatient* p : dir.patient_pointers) sum = sum + p->studies.size();
  const VEK_Vector<VEK_WString> ids = dir.get_string_list();
  sum = sum + ids.size() + dir.all_images.size() + dir.all_series.size() + dir.all_studies.size();
  (void)sum;
  return shape;
}

}  // namespace

int VekFuzzLoadDICOMDIR(const uint8_t* data, size_t size) {
  if (size > INT32_MAX) return 0;
  VEK_DefaultManager manager;
  auto* storage = vek_create<VEK_ByteArrayInputStorage>(&manager, data, int32_t(size));
  if (storage == nullptr) return 0;
  // Twice: with the records in record order, then the tree alone, each record read again
  // from its item. Both must give the same tree.
  uint64_t shapes[2] = {0, 0};
  bool loaded[2] = {false, false};
  for (int pass = 0; pass < 2; ++pass) {
    if (!storage->to_begin()) break;
    VEK_DICOMDIRInfo dir(&manager);
    dir.set_record_order_kept(pass == 0);
    loaded[pass] = dir.load(storage);
    // Records collected before a failure stay readable too.
    shapes[pass] = walk_dicomdir(dir);
    manager.clear();
  }
  if (loaded[0] && loaded[1] && shapes[0] != shapes[1]) __builtin_trap();
  // Then within a budget the input's own size sets, so that a cut falls anywhere: in the
  // elements' share or while the records are built. What is left must read as whole.
  if (storage->to_begin()) {
    VEK_DefaultManager bounded;
    const uint64_t budget = 48 * 1024 + uint64_t(size) * (size != 0 ? data[size / 2] % 64 + 1 : 1);
    bounded.set_budget(budget);
    VEK_DICOMDIRInfo dir(&bounded);
    dir.set_record_order_kept(false);
    dir.set_element_limit(budget * 3 / 4);
    // As a viewer reads one: the records' fields alone, values past a length left unread.
    dir.set_record_fields_only(size != 0 && data[0] % 2 != 0 ? 1024 : 8);
    dir.load(storage);
    walk_dicomdir(dir);
  }
  storage->destroy();
  manager.clear();
  return 0;
}

int VekFuzzReadRLEFrame(const uint8_t* data, size_t size) {
  if (size < 3 || size > INT32_MAX) return 0;
  VEK_DefaultManager manager;
  VEK_Header header(&manager);
  header.width(data[0] % 64 + 1);
  header.height(data[1] % 64 + 1);
  const bool wide = (data[2] & 1) != 0, colour = (data[2] & 2) != 0, ybr422 = (data[2] & 4) != 0;
  header.bits(wide ? 16 : 8);
  header.channels(colour || ybr422 ? 3 : 1);
  header.color_type(ybr422   ? VEK_ColorType_ycbcr::instance()
                    : colour ? VEK_ColorType_s_rgb::instance()
                             : VEK_ColorType_gray::instance());
  auto* storage = vek_create<VEK_ByteArrayInputStorage>(&manager, data + 3, int32_t(size - 3));
  if (storage == nullptr) return 0;
  const uint32_t length = uint32_t(size - 3);
  VEK_Engine* e = ybr422 ? VEK_ReadDICOMRLEFrameInYBR422(&manager).engine(storage, header, length)
                         : VEK_ReadDICOMRLEFrame(&manager).engine(storage, header, length);
  storage->destroy();
  drain(manager, e);
  manager.clear();
  return 0;
}
