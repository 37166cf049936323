#pragma once

// A main frame on screen at the client size of the tests, with the settings and the load
// state each test expects, and a study of fixture images to show in it.

#include <QApplication>
#include <QRegion>

#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "shell/mainframe.h"
#include "shell/xevcommonsettings.h"
#include "shell/xevdetached.h"
#include "shell/xevfileopen.h"
#include "shell/xevpatientbar.h"
#include "shell/xevslider.h"
#include "shell/xevstatusformview.h"
#include "shell/xevtitleformview.h"
#include "study/xevlistformview.h"
#include "testsupport/grab.h"
#include "testsupport/gridtestsupport.h"
#include "testsupport/pump.h"
#include "testsupport/qtguitestapp.h"
#include "viewer/xevimageformview.h"

// What a fixture script wrote of pydicom's reading: a line a file, its name and then its values.
inline std::map<std::string, std::vector<std::string>> ReadPydicomReadings(const std::string& path)
{
    std::map<std::string, std::vector<std::string>> readings;
    std::ifstream lines(path);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string name, word;
        words >> name;
        while (words >> word) {
            readings[name].push_back(word);
        }
    }
    return readings;
}

// The corner-text settings as a test found them, given back when it ends: the tests after it in
// the same process count white pixels of views without corner texts.
struct KeptOverlaySettings {
    std::map<QString, XEVOverlaySettingInfo> settings = GetCommonSettings().OverlaySettings;
    ~KeptOverlaySettings() { GetCommonSettings().OverlaySettings = settings; }
};

class FrameTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        XEVSetMemoryTest(&AlwaysEnoughMemory);
        // With the frame's own box the frame installs it when it is made.
        XEVSetMessageBox(frameBox_ ? nullptr : &box);
        GetLoadState().mouseTool = 0;
        GetCommonSettings().ModeSupportSR = 0;
        GetCommonSettings().OperationLock = 0;
        GetCommonSettings().InitialLayoutIndex = 2;
    }
    void TearDown() override
    {
        frame.reset();
        // The frame lets its open and report workers go; they end on their own, before the
        // next test or the binary's end.
        EXPECT_TRUE(XEVWaitDetached(std::chrono::steady_clock::now() + std::chrono::milliseconds(kNoCeilingWaitMs)));
        // The test's records are its own: a job worker let go with the frame reads them until
        // it ends.
        EXPECT_TRUE(PumpUntil([] { return XEVDetachedRunning() == 0; }));
        studies.clear();
        CXEVTitleFormView::SetTickClock(nullptr);
        XEVSetMessageBox(nullptr);
        XEVSetMemoryTest(nullptr);
        GetLoadState().mouseTool = 0;
        GetCommonSettings().ModeSupportSR = 0;
        GetCommonSettings().OperationLock = 0;
    }

    void MakeFrame(int width = 1280, int height = 1024)
    {
        frame = std::make_unique<CMainFrame>();
        frame->resize(width, height);
        ASSERT_TRUE(frame->OnCreateClient());
        frame->show();
        Pump();
        frame->SetUpPanes();
        Pump();
    }

    StudyInfo& MakeStudy(const std::vector<SeriesRecipe>& recipes)
    {
        auto& study = *studies.emplace_back(std::make_unique<StudyInfo>());
        study.SetModalities(QStringLiteral("CT"));
        for (const SeriesRecipe& recipe : recipes) {
            AddSeries(study, recipe);
        }
        return study;
    }

    // Shows the study and selects its first cell.
    void ShowSelected(StudyInfo& study)
    {
        Image().ShowFitted(&study);
        Pump();
        Image().ActivateCell(kXEVFirstStudyCellId);
        Image().SelectCell(kXEVFirstStudyCellId);
    }

    CXEVImageFormView& Image() { return *frame->GetImageFormView(); }
    CXEVTitleFormView& Title() { return *frame->GetTitlePane(); }
    CXEVStatusFormView& Status() { return *frame->GetStatusPane(); }

    std::vector<std::unique_ptr<StudyInfo>> studies;
    CountingBox box;
    // Set before SetUp: failures open the frame's own boxes, not the counting one.
    bool frameBox_ = false;
    std::unique_ptr<CMainFrame> frame;
};

// Pixels of a pane that no control of its own covers and that differ from its background
// colour; the background picture, which covers the whole pane, does not count as a control.
inline int PaneOffBackground(QWidget& pane, const QColor& colour)
{
    const QImage image = Grab(pane);
    QRegion region(pane.rect());
    for (QWidget* child : pane.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (child->isVisible() && child->geometry() != pane.rect()) {
            region -= child->geometry();
        }
    }
    int off = 0;
    for (const QRect& r : region) {
        off += CountOther(image, r, colour.rgb());
    }
    return off;
}

// File Open's dialog answering the path a test names, counting how often it was asked.
class ChosenPath : public XEVOpenFileDialog {
public:
    QString Choose(QWidget*) override
    {
        ++asked;
        return path;
    }
    QString path;
    int asked = 0;
};

// A frame under "ModeOrvix" with its study list, File Open enabled and answered by chooser_.
class FileOpenFrameTest : public FrameTest {
protected:
    void ShowFrameWithList()
    {
        XEVSetOpenFileDialog(&chooser_);
        GetCommonSettings().ModeOrvix = 1;
        MakeFrame();
        ASSERT_NE(frame->InstallStudyList(), nullptr);
        frame->SetFileOpenEnabled(true);
    }
    void CloseFrameWithList()
    {
        frame->close();
        frame.reset();
        ForgetZipArchive();
        // Its folder goes before the test's temporary folder does.
        WaitForFolderRemovals();
        XEVSetOpenFileDialog(nullptr);
        GetCommonSettings().ModeOrvix = 0;
    }
    CXEVListFormView& List() { return *frame->GetStudyList(); }
    // The folders of archives no longer shown go on a worker.
    static void WaitForFolderRemovals()
    {
        ASSERT_TRUE(Eventually([] { return !ArchiveFolderRemovalsPending(); }));
    }

    ChosenPath chooser_;
};
