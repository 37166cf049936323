// Files whose texts run to megabytes, written at test time, through the real frame: window
// values of millions of values, a patient's name and a series' description of 31 MB, and a
// settings file that names a long description on every corner line. Each shows its image at
// little memory, and what the list, the bar and the corners show is cut.
#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "discopentestsupport.h"
#include "platform/platfolder.h"
#include "shell/xevcommonsettings.h"
#include "shell/xevpatientbar.h"
#include "study/xevlistformview.h"
#include "study/xevvekhelper.h"

namespace {

namespace fs = std::filesystem;

class HostileTextsTest : public DiscOpenTest {
protected:
    void SetUp() override
    {
        DiscOpenTest::SetUp();
        disc_ = temp_.Path() + "/disc";
        fs::create_directories(disc_);
    }
    void TearDown() override
    {
        if (!program_.empty()) {
            XEVCommonSettings& settings = GetCommonSettings();
            settings.OverlaySettings.clear();
            settings.OverlayFileExists = 0;
            PlatSetModuleFolderForTest("");
        }
        DiscOpenTest::TearDown();
    }

    // The ramp of write_long_values.py in the disc folder, with a DICOMDIR when asked.
    std::string Write(uint64_t bytes, const char* kinds)
    {
        const std::string command = "/usr/bin/python3 " + std::string(STUDY_TEST_DATA_DIR) + "/write_long_values.py " +
                                    disc_ + " " + std::to_string(bytes) + " " + kinds;
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        ResetPeakResidentBytes();
        return disc_ + "/IMG/LONG";
    }
    // Opens path by File Open, shows its one series and checks that its image paints, with
    // what it cost: under half a gigabyte however long the values.
    void OpenAndShow(const std::string& path, const char* name)
    {
        GuiStallMeter stall;
        QElapsedTimer whole;
        whole.start();
        const qint64 listed = Open(path);
        ASSERT_EQ(SeriesSizes().size(), 1u);
        const std::vector<XEVImageViewCtrl*> cells = ShowSeries(Series(0), 1);
        ASSERT_EQ(cells.size(), 1u);
        EXPECT_GT(PaintedBright(cells)[0], 0);
        Report(name, listed, whole.elapsed(), stall.LongestMs());
    }
    void Report(const char* name, qint64 listed, qint64 shown, qint64 longest)
    {
        const uint64_t peak = PeakResidentBytes();
        std::printf("[ figures  ] %s: list %lld ms, shown %lld ms, peak %llu MB, %d threads, longest stall %lld ms\n",
                    name, static_cast<long long>(listed), static_cast<long long>(shown),
                    static_cast<unsigned long long>(peak >> 20), ProcessThreadCount(), static_cast<long long>(longest));
        if (!kDiscTestSanitized) {
            EXPECT_LT(peak, uint64_t(512) << 20);
        }
        if (kHangCeilings) {
            EXPECT_LT(shown, 30000);
        }
    }
    // A settings file beside the program whose upper left corner of OT images names the
    // Series Description on each of `lines` lines.
    void WriteCornerSettings(int lines)
    {
        program_ = temp_.Path() + "/program";
        fs::create_directories(program_);
        std::string xml = "<OVERLAYSETTING><MODALITY NAME='OT'><LOCATION VALUE='UPPERLEFT'>";
        for (int i = 0; i < lines; ++i) {
            xml += "<LINE><TAG NO='0008,103E'/></LINE>";
        }
        xml += "</LOCATION></MODALITY></OVERLAYSETTING>";
        std::ofstream(program_ + "/OVERLAY.XML", std::ios::binary) << xml;
        PlatSetModuleFolderForTest(program_);
        GetCommonSettings().LoadOverlaySettings();
        ASSERT_EQ(GetCommonSettings().OverlayFileExists, 1);
    }

    // The frame's widgets of a class (these declare no meta-object of their own).
    template <class T>
    std::vector<T*> Widgets(QWidget* parent)
    {
        std::vector<T*> found;
        for (QWidget* widget : parent->findChildren<QWidget*>()) {
            if (T* w = dynamic_cast<T*>(widget)) {
                found.push_back(w);
            }
        }
        return found;
    }

    std::string disc_;
    std::string program_;
};

}   // namespace

// Window Center and Width of 15.5 million values each (a 62 MB file), alone and listed by a
// DICOMDIR: the first pair sets the window and the image shows.
TEST_F(HostileTextsTest, MillionsOfWindowValuesInAFileAlone)
{
    OpenAndShow(Write(31000000, "window"), "62 MB of window values, file alone");
}

TEST_F(HostileTextsTest, MillionsOfWindowValuesInADicomDir)
{
    Write(31000000, "window --dicomdir");
    OpenAndShow(disc_ + "/DICOMDIR", "62 MB of window values, in a DICOMDIR");
}

// A file alone whose Patient's Name is 31 MB: the list, the patient's bar and its view hold
// and paint the name cut to the bound.
TEST_F(HostileTextsTest, LongPatientNameOfAFileAlone)
{
    OpenAndShow(Write(31000000, "name"), "31 MB patient name, file alone");
    const PatientInfo& patient = *List().patients.at(0);
    EXPECT_LE(patient.nameIdeographic.size() + patient.nameAlphabetic.size(), qsizetype(2 * kXEVTextValueLength));
    EXPECT_GT(patient.nameIdeographic.size() + patient.nameAlphabetic.size(), 0);
    const std::vector<XEVPatientBarCtrl*> bars = Widgets<XEVPatientBarCtrl>(frame.get());
    ASSERT_FALSE(bars.empty());
    int named = 0;
    for (XEVPatientBarCtrl* bar : bars) {
        if (bar->Patient().nameIdeographic.isEmpty()) {
            continue;
        }
        ++named;
        EXPECT_LE(bar->Patient().nameIdeographic.size(), qsizetype(kXEVTextValueLength));
        // Painted twice, measured once.
        EXPECT_FALSE(bar->grab().isNull());
        const int32_t made = bar->NameLine().Made();
        EXPECT_FALSE(bar->grab().isNull());
        EXPECT_EQ(bar->NameLine().Made(), made);
    }
    EXPECT_GT(named, 0);
}

// A file alone whose Series Description is 31 MB: the study list's row holds it cut to a
// row's length.
TEST_F(HostileTextsTest, LongSeriesDescriptionOfAFileAlone)
{
    OpenAndShow(Write(31000000, "description"), "31 MB series description, file alone");
    EXPECT_EQ(Series(0)->description.size(), qsizetype(kXEVTextValueLength));
    XEVStudyListCtrl* tree = List().Tree(kXEVFirstTreeId);
    ASSERT_NE(tree, nullptr);
    int rows = 0;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* study = tree->topLevelItem(i);
        for (int j = 0; j < study->childCount(); ++j) {
            EXPECT_EQ(study->child(j)->text(0).size(), XEVStudyListCtrl::kRowTextLength + 1);
            ++rows;
        }
    }
    EXPECT_FALSE(tree->grab().isNull());
    EXPECT_GT(rows, 0);
}

// A DICOMDIR whose records hold the image's name and description of 2 KiB, and of 1 MiB (past
// what a record's value is read to): the study list shows them as the file opened alone does,
// cut, not empty.
TEST_F(HostileTextsTest, LongTextsOfADicomDirListAsTheFileAlones)
{
    for (const uint64_t bytes : {uint64_t(2048), uint64_t(1) << 20}) {
        SCOPED_TRACE(bytes);
        const std::string file = Write(bytes, "name description --dicomdir-long");
        std::vector<QStringList> lists;
        for (const std::string& path : {file, disc_ + "/DICOMDIR"}) {
            Open(path);
            ASSERT_EQ(SeriesSizes().size(), 1u);
            const PatientInfo& patient = *List().patients.at(0);
            QStringList shown = {patient.nameIdeographic, patient.nameAlphabetic, Series(0)->description};
            XEVStudyListCtrl* tree = List().Tree(kXEVFirstTreeId);
            ASSERT_NE(tree, nullptr);
            for (int i = 0; i < tree->topLevelItemCount(); ++i) {
                for (int j = 0; j < tree->topLevelItem(i)->childCount(); ++j) {
                    shown.push_back(tree->topLevelItem(i)->child(j)->text(0));
                }
            }
            lists.push_back(shown);
        }
        EXPECT_TRUE((lists[1][0] + lists[1][1]).startsWith(QStringLiteral("Long")));
        EXPECT_EQ(lists[1][2].size(), qsizetype(kXEVTextValueLength));
        ASSERT_EQ(lists[1].size(), 4);
        EXPECT_TRUE(lists[1][3].startsWith(QStringLiteral("Long description yyy")));
        EXPECT_EQ(lists[1], lists[0]);
    }
}

// 2,000 corner lines (68 KB of settings) that each name a description of 60,000 bytes: the
// corner keeps as many items as a view shows, each cut to a line, and the image paints.
TEST_F(HostileTextsTest, CornerLinesNamingALongDescription)
{
    WriteCornerSettings(2000);
    OpenAndShow(Write(60000, "description"), "2,000 corner lines of a 60,000-byte description");
    const std::vector<XEVImageViewCtrl*> cells = ShowSeries(Series(0), 1);
    ASSERT_EQ(cells.size(), 1u);
    const XEVOverlayViewInfo texts = cells[0]->BuildCornerTexts();
    ASSERT_EQ(texts.GetLines(0).size(), kXEVCornerItemLimit);
    // Each line is its tag item and the item that ends it.
    int cut = 0;
    for (const XEVOverlaySettingInfoItem& item : texts.GetLines(0)) {
        EXPECT_LE(item.value.size(), kXEVCornerValueLength);
        cut += item.value.size() == kXEVCornerValueLength ? 1 : 0;
    }
    EXPECT_EQ(cut, int(kXEVCornerItemLimit / 2));
}

// 21,000 such lines, within every limit of a settings file.
TEST_F(HostileTextsTest, TwentyOneThousandCornerLines)
{
    WriteCornerSettings(21000);
    OpenAndShow(Write(60000, "description"), "21,000 corner lines of a 60,000-byte description");
}
