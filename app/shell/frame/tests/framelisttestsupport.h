#pragma once

// A frame with its study list on a fixture disc, the options of the second reading pass and
// a box that answers the frame's questions.

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTreeWidgetItemIterator>

#include "frametestsupport.h"
#include "platform/platfolder.h"
#include "study/xevlistformview.h"
#include "study/xevstudymodel.h"

// The frame with the real study list in its column and a box that answers the questions.
class AnsweringBox : public XEVMessageBox {
public:
    void Show(QWidget*, const QString& text) override { shown.push_back(text); }
    void Ask(QWidget*, const QString& text, std::function<void(int32_t)> answered) override
    {
        asked.push_back(text);
        if (keep) {
            kept = std::move(answered);
            return;
        }
        answered(answer);
    }
    int32_t answer = 2;
    // Set: the question is kept unanswered in kept, for the test to answer later.
    bool keep = false;
    std::function<void(int32_t)> kept;
    QStringList shown;
    QStringList asked;
};

class FrameListTest : public FrameTest {
protected:
    void SetUp() override
    {
        FrameTest::SetUp();
        ASSERT_TRUE(program.isValid());
        PlatSetModuleFolderForTest(program.path().toStdString());
        XEVSetMessageBox(&answers);
        SetModes(0, 0);
        // Report series are listed only with SR support.
        GetCommonSettings().ModeSupportSR = 1;
        MakeFrame();
        ASSERT_NE(frame->InstallStudyList(), nullptr);
    }
    void TearDown() override
    {
        // Destroyed without closing, while cells still hold the list's images: the frame stops
        // its threads and empties the cells itself.
        frame.reset();
        SetModes(0, 0);
        GetLoadState().SetArchive(std::string(), std::string());
        GetLoadState().singlePatientStudy = 0;
        FrameTest::TearDown();
        PlatSetModuleFolderForTest("");
    }

    static void SetModes(int32_t multiFrame, int32_t reports)
    {
        GetCommonSettings().ModeMultiFrameRead = multiFrame;
        GetCommonSettings().ModeUnsupportSRDelList = reports;
    }

    // Loads a disc and waits for the load and, when an option asks for it, the second pass.
    void Load(const QString& dicomDir)
    {
        CXEVListFormView& l = List();
        ASSERT_EQ(l.RestartLoading(dicomDir), 1);
        const bool scans =
            GetCommonSettings().ModeMultiFrameRead != 0 || GetCommonSettings().ModeUnsupportSRDelList != 0;
        ASSERT_TRUE(PumpUntil([&] { return l.loaded == 1 && (!scans || l.scanDone == 1); }));
        l.ShowEntries();
        Pump();
    }

    void WriteIni(const QByteArray& text)
    {
        QFile file(QDir(program.path()).filePath(QStringLiteral("ZYLV.INI")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    }

    CXEVListFormView& List() { return *frame->GetStudyList(); }

    // Double-clicks the item of the patient's tree that carries data, as a user does.
    void DoubleClickItem(int32_t patient, uint32_t data)
    {
        XEVStudyListCtrl* tree = List().Tree(kXEVFirstTreeId + patient);
        ASSERT_NE(tree, nullptr);
        QTreeWidgetItem* item = nullptr;
        for (QTreeWidgetItemIterator it(tree); *it != nullptr && item == nullptr; ++it) {
            if (XEVStudyListCtrl::ItemData(*it) == data) {
                item = *it;
            }
        }
        ASSERT_NE(item, nullptr);
        if (item->parent() != nullptr) {
            item->parent()->setExpanded(true);
        }
        tree->scrollToItem(item);
        Pump();
        const QRect rect = tree->visualItemRect(item);
        ASSERT_FALSE(rect.isEmpty());
        Mouse(*tree->viewport(), QEvent::MouseButtonDblClick, QPoint(rect.left() + 4, rect.center().y()),
              Qt::LeftButton, Qt::LeftButton);
        Pump();
    }

    // Double-clicks the study's label in its patient's tree.
    void DoubleClickStudy(const StudyInfo* wanted)
    {
        for (size_t p = 0; p < List().patients.size(); ++p) {
            const PatientInfo* patient = List().patients[p];
            for (size_t s = 0; s < patient->studies.size(); ++s) {
                if (patient->studies[s] == wanted) {
                    DoubleClickItem(int32_t(p), kXEVStudyItemBit | uint32_t(s));
                    return;
                }
            }
        }
        ADD_FAILURE() << "no such study";
    }
    // Double-clicks the series' label in its patient's tree.
    void DoubleClickSeries(const QString& uid)
    {
        for (size_t p = 0; p < List().patients.size(); ++p) {
            const PatientInfo* patient = List().patients[p];
            for (size_t s = 0; s < patient->studies.size(); ++s) {
                const StudyInfo* study = patient->studies[s];
                for (size_t e = 0; e < study->series.size(); ++e) {
                    if (study->series[e]->seriesInstanceUid == uid) {
                        DoubleClickItem(int32_t(p), kXEVSeriesItemBit | uint32_t(s << 16) | uint32_t(e));
                        return;
                    }
                }
            }
        }
        ADD_FAILURE() << "no series " << uid.toStdString();
    }

    // The series of the current records whose first image's file name ends with the name.
    SeriesInfo* SeriesWithFile(const QString& name)
    {
        for (PatientInfo* patient : List().patients) {
            for (StudyInfo* study : patient->studies) {
                for (SeriesInfo* series : study->series) {
                    for (const ImageInfo* image : series->images) {
                        if (image->filePath.endsWith(name)) {
                            return series;
                        }
                    }
                }
            }
        }
        return nullptr;
    }

    QTemporaryDir program;
    AnsweringBox answers;
};
