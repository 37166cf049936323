#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <memory>

#include "loadertestkit.h"
#include "shell/xevcommonsettings.h"
#include "study/xevjobhost.h"
#include "study/xevloadstate.h"
#include "study/xevpatientlist.h"
#include "study/xevstudymodel.h"
#include "study/xevthread.h"

namespace {

const QString kData = QStringLiteral(STUDY_TEST_DATA_DIR);

bool PlentyOfMemory(PlatMemoryStatus& status)
{
    status.availablePhysical = uint64_t(1) << 40;
    status.availableVirtual = status.availablePhysical;
    return true;
}

// The study list's side for the pre-load: the patient list's records.
class ListView : public XEVPreloadView {
public:
    explicit ListView(XEVPatientList& list) : list_(list) {}
    ~ListView() override { StopPreloadOf(this); }
    const std::vector<PatientInfo*>& GetPreloadPatients() const override { return list_.patients; }
    StudyInfo* GetCurrentStudy() const override { return list_.patients[0]->studies[0]; }
    StudyInfo* GetLastSeriesStudy() const override { return nullptr; }

private:
    XEVPatientList& list_;
};

}   // namespace

// Every background thread busy or held at once; the shutdown order of the main frame must
// return, let every thread end on its own, and leave the model to be deleted last.
TEST(ShutdownTest, EveryThreadStopsUnwaitedBeforeTheModelGoes)
{
    QTemporaryDir dir;
    const QString huge = dir.filePath(QStringLiteral("huge"));
    ASSERT_TRUE(MakeSparseFile(huge, qint64(4) << 30));
    XEVSetMemoryStatusQuery(PlentyOfMemory);
    GetCommonSettings().ModeMultiFrameRead = 1;
    GetCommonSettings().ModeUnsupportSRDelList = 1;
    XEVLoadState& state = GetLoadState();
    MessageRecorder recorder;

    for (int round = 0; round < 200; ++round) {
        CXEVFileLoadCtrlThread host;
        ASSERT_TRUE(host.Start());
        auto list = std::make_unique<XEVPatientList>();
        ASSERT_EQ(list->StartLoading(kData + QStringLiteral("/discA/DICOMDIR"), recorder.Handle()), 1);
        list->scanner.ResetGate();
        ASSERT_TRUE(PumpUntil([&] { return recorder.Count(WM_XEV_PATIENTS_LOADED) == size_t(round + 1); }));

        // Jobs of their own study: a large file for the read-ahead and the pre-load, and
        // 300 images to decode.
        std::vector<QString> files(301, kData + QStringLiteral("/frames/rle_ct_gdcm.dcm"));
        files[0] = huge;
        PatientInfo* patient = PatientOfFiles(files);
        std::vector<ImageInfo*> jobs(patient->studies[0]->series[0]->images.begin() + 1,
                                     patient->studies[0]->series[0]->images.end());
        for (ImageInfo* job : jobs)
            job->notifyWindow = recorder.Handle();
        list->patients.push_back(patient);

        list->StartReadAhead();
        ListView view(*list);
        state.lastPaintEndMs = XEVSteadyMilliseconds() - 10000;
        ASSERT_EQ(state.StartPreload(&view), 1);
        state.PausePreload();
        XEVSendMessage(host.Window(), WM_XEV_LOADER_QUEUE, 1, reinterpret_cast<XEVLParam>(&jobs));
        XEVSendMessage(host.Window(), WM_XEV_LOADER_START);

        // The main frame's order: the study list's threads, the pre-load, then the host.
        list->StopThreads();
        state.HaltPreload();
        host.Shutdown();
        EXPECT_TRUE(host.isFinished());
        EXPECT_FALSE(host.Window().IsAlive());
        // The loader, the scan held at its gate, the read-ahead, the pre-load and a job worker
        // in its block are let go: they end on their own.
        EXPECT_TRUE(PumpUntil([&] {
            return list->Running() == 0 && list->scanner.Running() == 0 && list->readAhead.Running() == 0 &&
                   state.preloadThread.Running() == 0 && XEVDetachedRunning() == 0;
        }));
        list.reset();
        recorder.Drain();
    }
    XEVSetMemoryStatusQuery(nullptr);
    GetCommonSettings().ModeMultiFrameRead = 0;
    GetCommonSettings().ModeUnsupportSRDelList = 0;
}
