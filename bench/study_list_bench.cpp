// The study list's entries against plain Qt widgets in the same binary: BuildEntries and
// LayoutEntries of 200 patients with 3 studies of 4 series each (then DestroyEntries), against
// making 200 QLabels and filling 200 plain QTreeWidgets with the same texts (then deleting
// them). Target: at most 2x the plain widgets' time.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QLabel>
#include <QTreeWidget>

#include <memory>

#include "bench_qt.h"
#include "shell/xevcommonsettings.h"
#include "study/xevlistformview.h"
#include "study/xevstudymodel.h"

namespace {

constexpr int kPatients = 200;
constexpr int kStudies = 3;
constexpr int kSeries = 4;

void EnsureApplication()
{
    if (BenchEnsureApplication<QApplication>("study_list_bench")) {
        GetCommonSettings().Load();
    }
}

void FillPatients(std::vector<PatientInfo*>& patients)
{
    for (int i = 0; i < kPatients; ++i) {
        auto* patient = new PatientInfo;
        patient->nameIdeographic = QStringLiteral("山田 太郎 %1").arg(i);
        patient->birthDate = QStringLiteral("19700101");
        patient->sex = QStringLiteral("M");
        for (int k = 0; k < kStudies; ++k) {
            auto* study = new StudyInfo;
            study->studyDate = QStringLiteral("2012031%1").arg(k);
            study->modalities = QStringLiteral("CT");
            for (int j = 0; j < kSeries; ++j) {
                auto* series = new SeriesInfo;
                series->description = QStringLiteral("SERIES %1").arg(j);
                study->series.push_back(series);
            }
            patient->studies.push_back(study);
        }
        patients.push_back(patient);
    }
}

void BM_StudyListBuildAndLayout(benchmark::State& state)
{
    EnsureApplication();
    CXEVListFormView pane(nullptr, nullptr);
    pane.resize(332, 800);
    FillPatients(pane.patients);
    pane.selectedEntry = kXEVFirstBarId;
    for (auto _ : state) {
        pane.BuildEntries();
        pane.LayoutEntries(1);
        pane.DestroyEntries();
    }
    state.SetItemsProcessed(state.iterations() * kPatients);
}
BENCHMARK(BM_StudyListBuildAndLayout)->Unit(benchmark::kMillisecond);

void BM_PlainLabelsAndTrees(benchmark::State& state)
{
    EnsureApplication();
    std::vector<PatientInfo*> patients;
    FillPatients(patients);
    QWidget parent;
    parent.resize(332, 800);
    for (auto _ : state) {
        std::vector<QWidget*> made;
        made.reserve(2 * kPatients);
        for (int i = 0; i < kPatients; ++i) {
            const PatientInfo& patient = *patients[size_t(i)];
            auto* label = new QLabel(patient.nameIdeographic, &parent);
            label->setGeometry(10, 10 + 27 * i, 322, 27);
            made.push_back(label);
            auto* tree = new QTreeWidget(&parent);
            tree->setHeaderHidden(true);
            for (const StudyInfo* study : patient.studies) {
                auto* item = new QTreeWidgetItem(tree, QStringList(XEVStudyListCtrl::StudyText(*study)));
                for (const SeriesInfo* series : study->series) {
                    new QTreeWidgetItem(item, QStringList(series->description));
                }
            }
            tree->setGeometry(10, 37, 322, 300);
            made.push_back(tree);
        }
        for (QWidget* widget : made) {
            delete widget;
        }
    }
    state.SetItemsProcessed(state.iterations() * kPatients);
    for (PatientInfo* patient : patients) {
        delete patient;
    }
}
BENCHMARK(BM_PlainLabelsAndTrees)->Unit(benchmark::kMillisecond);

}   // namespace
