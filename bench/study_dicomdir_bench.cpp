// LoadDicomDir of a DICOMDIR of 20,000 image records into the study model, against DCMTK's
// DcmDicomDir load plus a walk that copies the same fields into plain structures. The heap
// held per ImageInfo of the finished model is reported.
#include <benchmark/benchmark.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdicdir.h>
#include <dcmtk/oflog/oflog.h>
#include <malloc.h>

#include <string>
#include <vector>

#include "bench_dicomdir.h"
#include "study/xevvekhelper.h"

namespace {

constexpr int kPatients = 10, kStudiesPer = 2, kSeriesPer = 20, kImagesPer = 50;
constexpr int kImages = kPatients * kStudiesPer * kSeriesPer * kImagesPer;

// level 0..3; k: the record's number within its level.
std::vector<uint8_t> record(int level, int k, uint32_t next, uint32_t lower)
{
    DicomBytes d;
    d.element(0x0004, 0x1400, "UL", bench_le32(next));
    d.us(0x0004, 0x1410, {0xFFFF});
    d.element(0x0004, 0x1420, "UL", bench_le32(lower));
    const std::string i = std::to_string(k);
    if (level == 0) {
        d.text(0x0004, 0x1430, "CS", "PATIENT");
        d.text(0x0008, 0x0005, "CS", "ISO_IR 100");
        d.text(0x0010, 0x0010, "PN", "PATIENT^NUMBER" + i);
        d.text(0x0010, 0x0020, "LO", "PID" + i);
        d.text(0x0010, 0x0030, "DA", "19700101");
        d.text(0x0010, 0x0040, "CS", "O");
        d.text(0x0010, 0x1010, "AS", "045Y");
    } else if (level == 1) {
        d.text(0x0004, 0x1430, "CS", "STUDY");
        d.text(0x0008, 0x0020, "DA", "20260101");
        d.text(0x0008, 0x0061, "CS", "CT");
        d.text(0x0020, 0x000D, "UI", "1.2.826.0.1.3680043.2.1125.20." + i);
    } else if (level == 2) {
        d.text(0x0004, 0x1430, "CS", "SERIES");
        d.text(0x0008, 0x0060, "CS", "CT");
        d.text(0x0008, 0x103E, "LO", "AXIAL 1.25MM");
        d.text(0x0020, 0x000E, "UI", "1.2.826.0.1.3680043.2.1125.30." + i);
        d.text(0x0020, 0x0011, "IS", i);
    } else {
        d.text(0x0004, 0x1430, "CS", "IMAGE");
        d.text(0x0004, 0x1500, "CS", "DICOM\\S" + std::to_string(k / kImagesPer) + "\\I" + i);
        d.text(0x0004, 0x1510, "UI", "1.2.840.10008.5.1.4.1.1.2");
        d.text(0x0004, 0x1511, "UI", "1.2.826.0.1.3680043.2.1125.40." + i);
        d.text(0x0008, 0x0018, "UI", "1.2.826.0.1.3680043.2.1125.40." + i);
        d.text(0x0020, 0x0013, "IS", std::to_string(kImagesPer - k % kImagesPer));
    }
    return d.bytes;
}

// Stream order: each record followed by its subtree.
std::vector<uint8_t> dicomdir_bytes()
{
    const int fanout[4] = {kPatients, kStudiesPer, kSeriesPer, kImagesPer};
    struct Rec {
        int level, k, next = -1, lower = -1;
    };
    std::vector<Rec> recs;
    int counters[4] = {0, 0, 0, 0};
    auto add = [&](auto&& self, int level) -> int {
        const int slot = int(recs.size());
        recs.push_back({level, counters[level]++});
        if (level < 3) {
            int prev = -1;
            for (int c = 0; c < fanout[level + 1]; ++c) {
                const int child = self(self, level + 1);
                (prev < 0 ? recs[slot].lower : recs[prev].next) = child;
                prev = child;
            }
        }
        return slot;
    };
    int prev = -1;
    for (int p = 0; p < kPatients; ++p) {
        const int slot = add(add, 0);
        if (prev >= 0)
            recs[prev].next = slot;
        prev = slot;
    }
    std::vector<int> next, lower;
    for (const Rec& r : recs) {
        next.push_back(r.next);
        lower.push_back(r.lower);
    }
    return bench_dicomdir_bytes(next, lower, -1, [&](size_t k, uint32_t next_at, uint32_t lower_at) {
        return record(recs[k].level, recs[k].k, next_at, lower_at);
    });
}

const BenchDicomDirFile& file()
{
    static const BenchDicomDirFile f("study_dicomdir_bench", dicomdir_bytes());
    return f;
}

void BM_StudyLoadDicomDir(benchmark::State& state)
{
    const BenchDicomDirFile& f = file();
    const QString path = QString::fromStdString(f.path);
    double perImage = 0;
    for (auto _ : state) {
        const size_t before = mallinfo2().uordblks;
        std::vector<PatientInfo*> patients;
        int32_t frames = 0, split = 0;
        XEVVEKHelper helper;
        int images = 0;
        if (helper.LoadDicomDir(path, patients, frames, split) == 0)
            state.SkipWithError("load failed");
        for (PatientInfo* p : patients)
            for (StudyInfo* s : p->studies)
                for (SeriesInfo* e : s->series)
                    images += int(e->images.size());
        if (images != kImages)
            state.SkipWithError("wrong image count");
        perImage = double(mallinfo2().uordblks - before) / kImages;
        for (PatientInfo* p : patients)
            delete p;
    }
    // Includes the patients, studies and series, 1 in 50 records.
    state.counters["heap_per_ImageInfo_B"] = perImage;
}
BENCHMARK(BM_StudyLoadDicomDir)->Unit(benchmark::kMillisecond);

struct PlainImage {
    OFString fileId, sopUid, sopClass;
    long instance = 0;
    long frames = 0;
};
struct PlainSeries {
    OFString uid, modality, description;
    std::vector<PlainImage> images;
};
struct PlainStudy {
    OFString uid, date, modalities;
    std::vector<PlainSeries> series;
};
struct PlainPatient {
    OFString name, id, sex, age, birth;
    std::vector<PlainStudy> studies;
};

void BM_DcmtkDicomDirWalk(benchmark::State& state)
{
    OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
    const BenchDicomDirFile& f = file();
    for (auto _ : state) {
        DcmDicomDir dir(f.path.c_str());
        std::vector<PlainPatient> patients;
        int images = 0;
        DcmDirectoryRecord& root = dir.getRootRecord();
        for (DcmDirectoryRecord* p = root.nextSub(nullptr); p != nullptr; p = root.nextSub(p)) {
            PlainPatient& pp = patients.emplace_back();
            p->findAndGetOFStringArray(DCM_PatientName, pp.name);
            p->findAndGetOFString(DCM_PatientID, pp.id);
            p->findAndGetOFString(DCM_PatientSex, pp.sex);
            p->findAndGetOFString(DCM_PatientAge, pp.age);
            p->findAndGetOFString(DCM_PatientBirthDate, pp.birth);
            for (DcmDirectoryRecord* s = p->nextSub(nullptr); s != nullptr; s = p->nextSub(s)) {
                PlainStudy& ps = pp.studies.emplace_back();
                s->findAndGetOFString(DCM_StudyInstanceUID, ps.uid);
                s->findAndGetOFString(DCM_StudyDate, ps.date);
                s->findAndGetOFStringArray(DCM_ModalitiesInStudy, ps.modalities);
                for (DcmDirectoryRecord* e = s->nextSub(nullptr); e != nullptr; e = s->nextSub(e)) {
                    PlainSeries& pe = ps.series.emplace_back();
                    e->findAndGetOFString(DCM_SeriesInstanceUID, pe.uid);
                    e->findAndGetOFString(DCM_Modality, pe.modality);
                    e->findAndGetOFString(DCM_SeriesDescription, pe.description);
                    for (DcmDirectoryRecord* i = e->nextSub(nullptr); i != nullptr; i = e->nextSub(i)) {
                        PlainImage& pi = pe.images.emplace_back();
                        i->findAndGetOFStringArray(DCM_ReferencedFileID, pi.fileId);
                        i->findAndGetOFString(DCM_SOPInstanceUID, pi.sopUid);
                        i->findAndGetOFString(DCM_ReferencedSOPClassUIDInFile, pi.sopClass);
                        i->findAndGetLongInt(DCM_InstanceNumber, pi.instance);
                        i->findAndGetLongInt(DCM_NumberOfFrames, pi.frames);
                        ++images;
                    }
                }
            }
        }
        if (images != kImages)
            state.SkipWithError("wrong image count");
        benchmark::DoNotOptimize(patients.data());
    }
}
BENCHMARK(BM_DcmtkDicomDirWalk)->Unit(benchmark::kMillisecond);

}   // namespace
