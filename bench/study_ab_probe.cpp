// One step of the study model repeated, for paired comparisons of two builds (bench/ab_cc08.sh):
//   study_ab_probe load FILE REPS        decode frame 0 of FILE, a fresh helper each time
//   study_ab_probe dicomdir DICOMDIR REPS   LoadDicomDir into a fresh patient list
//   study_ab_probe scan DICOMDIR REPS    ScanDicomDir, each referenced file's header read
//   study_ab_probe first DICOMDIR REPS   LoadDicomDir, then the first image's frame 0
// Only what Measured() calls is the step: run under callgrind with --toggle-collect=Measured*
// for its instructions. Prints the median and the lowest wall time of one repetition in ms.
#include <QCoreApplication>
#include <QString>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "study/xevstudymodel.h"
#include "study/xevthread.h"
#include "study/xevvekhelper.h"

namespace {

void FreePatients(std::vector<PatientInfo*>& patients)
{
    for (PatientInfo* p : patients) {
        delete p;
    }
    patients.clear();
}

int Load(const QString& path)
{
    XEVVEKHelper helper;
    int32_t frame = 0;
    return helper.LoadImage(path, frame) == 1 ? 0 : 1;
}

int DicomDir(const QString& path)
{
    XEVVEKHelper helper;
    std::vector<PatientInfo*> patients;
    int32_t counts = 0, split = 0;
    const int failed = helper.LoadDicomDir(path, patients, counts, split) == 0 || patients.empty() ? 1 : 0;
    FreePatients(patients);
    return failed;
}

int Scan(const QString& path)
{
    XEVVEKHelper helper;
    XEVThread gate;
    std::atomic<int32_t> abort{0};
    std::vector<PatientInfo*> patients;
    int32_t multi = 0, unsupported = 0;
    const int failed = helper.ScanDicomDir(multi, unsupported, path, patients, 0, abort, gate) == 0 ? 1 : 0;
    FreePatients(patients);
    return failed;
}

int First(const QString& path)
{
    XEVVEKHelper helper;
    std::vector<PatientInfo*> patients;
    int32_t counts = 0, split = 0;
    if (helper.LoadDicomDir(path, patients, counts, split) == 0 || patients.empty()) {
        return 1;
    }
    ImageInfo* first = patients[0]->studies.at(0)->series.at(0)->images.at(0);
    int32_t frame = 0;
    const int failed = first->LoadImage(frame, XEVWindowHandle(), 1) == 1 ? 0 : 1;
    FreePatients(patients);
    return failed;
}

// Kept out of line: callgrind counts from its entry to its return.
__attribute__((noinline)) int Measured(const char* mode, const QString& path)
{
    if (std::strcmp(mode, "load") == 0) {
        return Load(path);
    }
    if (std::strcmp(mode, "dicomdir") == 0) {
        return DicomDir(path);
    }
    if (std::strcmp(mode, "scan") == 0) {
        return Scan(path);
    }
    if (std::strcmp(mode, "first") == 0) {
        return First(path);
    }
    return 2;
}

}   // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s load|dicomdir|scan|first PATH REPS\n", argv[0]);
        return 2;
    }
    QCoreApplication app(argc, argv);
    const QString path = QString::fromLocal8Bit(argv[2]);
    const int reps = std::max(1, std::atoi(argv[3]));
    std::vector<double> ms;
    for (int i = 0; i < reps; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (Measured(argv[1], path) != 0) {
            std::fprintf(stderr, "%s %s failed\n", argv[1], argv[2]);
            return 1;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("median_ms %.4f min_ms %.4f reps %d\n", ms[ms.size() / 2], ms.front(), reps);
    return 0;
}
