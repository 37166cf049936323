#include "vekfuzzentry.h"

#include "vek_dicomdirinfo.h"
#include "vek_dicominfo.h"
#include "vek_managerimpl.h"
#include "vek_memorystorage.h"

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
      (void)sum;
    }
  }
  storage->destroy();
  manager.clear();
  return 0;
}

int VekFuzzLoadDICOMDIR(const uint8_t* data, size_t size) {
  if (size > INT32_MAX) return 0;
  VEK_DefaultManager manager;
  auto* storage = vek_create<VEK_ByteArrayInputStorage>(&manager, data, int32_t(size));
  if (storage == nullptr) return 0;
  {
    VEK_DICOMDIRInfo dir(&manager);
    dir.load(storage);
    // Records collected before a failure stay readable too.
    volatile uint64_t sum = 0;
    for (const VEK_DICOMDIRPatient& p : dir.patients)
      for (const VEK_DICOMDIRStudy& s : p.studies) {
        sum = sum + (s.parent_patient == &p) + s.common.tags.size();
        for (const VEK_DICOMDIRSeries& e : s.series)
          for (const VEK_DICOMDIRImage& i : e.images) sum = sum + i.file_id.size() + (i.parent_series == &e);
      }
    for (const VEK_DICOMDIRImage* i : dir.image_pointers) sum = sum + i->common.position + i->parent_patient->common.position;
    for (const VEK_DICOMDIRSeries* e : dir.series_pointers) sum = sum + e->images.size() + e->parent_study->common.position;
    for (const VEK_DICOMDIRStudy* s : dir.study_pointers) sum = sum + s->series.size();
    for (const VEK_DICOMDIRPatient* p : dir.patient_pointers) sum = sum + p->studies.size();
    const VEK_Vector<VEK_WString> ids = dir.get_string_list();
    sum = sum + ids.size() + dir.all_images.size() + dir.all_series.size() + dir.all_studies.size();
    (void)sum;
  }
  storage->destroy();
  manager.clear();
  return 0;
}
