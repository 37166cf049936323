// Discs whose DICOMDIR has a shape other tools write or damage leaves, opened through File
// Open in the real frame: the list shows each patient with its own studies.
#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "frametestsupport.h"
#include "shell/xevfileopen.h"
#include "study/xevlistformview.h"
#include "study/xevstudymodel.h"

namespace {

// Made by vek/tests/data/make_dicomdir_discs.sh.
const std::string kDiscs = KV_SAMPLE_DIR "/../vek/tests/data/discs";

class DiscShapeTest : public FileOpenFrameTest {
protected:
    void SetUp() override
    {
        FrameTest::SetUp();
        ShowFrameWithList();
    }
    void TearDown() override
    {
        CloseFrameWithList();
        FrameTest::TearDown();
    }

    // Each listed patient's ID with the last part of each study UID and its image count.
    std::vector<std::string> OpenDisc(const std::string& name)
    {
        chooser_.path = QString::fromStdString(kDiscs + "/" + name + "/DICOMDIR");
        frame->OnFileOpen();
        PumpUntil([this] { return !frame->Opening(); }, 30000);
        PumpUntil([this] { return List().loaded != 0; }, 30000);
        EXPECT_EQ(List().loaded, 1) << name;
        std::vector<std::string> shape;
        for (PatientInfo* patient : List().patients) {
            std::string line = patient->patientId.toStdString() + ":";
            for (StudyInfo* study : patient->studies) {
                size_t images = 0;
                for (SeriesInfo* series : study->series) {
                    images += series->images.size();
                }
                const std::string uid = study->studyInstanceUid.toStdString();
                line += " " + uid.substr(uid.rfind('.') + 1) + "x" + std::to_string(images);
            }
            shape.push_back(line);
        }
        return shape;
    }
};

}   // namespace

TEST_F(DiscShapeTest, EachDiscListsItsPatientsWithTheirOwnStudies)
{
    // Records stored deepest level first; patient 2 has two studies.
    EXPECT_EQ(OpenDisc("deepest"), (std::vector<std::string>{"PID1: 1x15", "PID2: 2x6 3x6", "PID3: 4x13"}));
    EXPECT_EQ(box.texts.size(), 0u);
    // The last item longer than the data: its image is listed too.
    EXPECT_EQ(OpenDisc("cutlast"), (std::vector<std::string>{"PID1: 1x2", "PID2: 2x3"}));

    // One PATIENT record of ten turned into a record of another type (the script names it):
    // its study is listed nowhere, every other patient keeps exactly its own.
    for (const char* name : {"unknown_first", "unknown_later"}) {
        std::ifstream tails(kDiscs + "/tails.txt");
        std::string retyped;
        for (std::string line; std::getline(tails, line);) {
            if (line.rfind(std::string(name) + "\ttypes\t", 0) == 0) {
                retyped = line.substr(line.find("PID"), line.find('\t', line.find("PID")) - line.find("PID"));
            }
        }
        ASSERT_FALSE(retyped.empty()) << name;
        std::vector<std::string> want;
        for (int k = 1; k <= 10; ++k) {
            if ("PID" + std::to_string(k) != retyped) {
                want.push_back("PID" + std::to_string(k) + ": " + std::to_string(k) + "x3");
            }
        }
        std::vector<std::string> shown = OpenDisc(name);
        EXPECT_EQ(shown.size(), 9u) << name;
        std::sort(shown.begin(), shown.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(shown, want) << name;
    }
    EXPECT_EQ(box.texts.size(), 0u);
}
