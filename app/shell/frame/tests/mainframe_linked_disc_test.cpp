// Discs reached through symbolic links, opened through the real frame's File Open: links that
// stay within the disc open it as its plain tree; a link out of it is named.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "discopentestsupport.h"
#include "shell/xev_uistring.h"
#include "study/xevvekhelper.h"

namespace {

namespace fs = std::filesystem;

class LinkedDiscTest : public DiscOpenTest {
protected:
    void SetUp() override
    {
        DiscOpenTest::SetUp();
        const std::string command = "PYTHONDONTWRITEBYTECODE=1 PYTHONPATH=" KV_SAMPLE_DIR
                                    "/../app/testsupport/python /usr/bin/python3 -W ignore " FRAME_TEST_DATA_DIR
                                    "/write_linked_disc.py " +
                                    temp_.Path();
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        // Accepted, so that what the list leaves out is told.
        frame->OnAgreementClosed(1);
    }

    // The list as shown: per series its UID and the greys its images' frames hold, sorted.
    std::vector<std::pair<std::string, std::vector<int>>> Shown()
    {
        std::vector<std::pair<std::string, std::vector<int>>> shown;
        const std::vector<size_t> sizes = SeriesSizes();
        for (size_t s = 0; s < sizes.size(); ++s) {
            std::vector<int> greys;
            for (XEVImageViewCtrl* cell : ShowSeries(Series(s), sizes[s])) {
                ImageInfo* image = cell->CurrentImage();
                std::lock_guard<PlatRecursiveLock> guard(image->GetLock());
                const FrameImageInfo* frame = image->GetHelper() != nullptr ? image->GetHelper()->GetFrame(0) : nullptr;
                greys.push_back(frame != nullptr && frame->Size() != 0 ? frame->Data()[0] : -1);
            }
            std::sort(greys.begin(), greys.end());
            shown.emplace_back(Series(s)->seriesInstanceUid.toStdString(), greys);
        }
        return shown;
    }

    std::vector<std::string> Texts()
    {
        std::vector<std::string> texts;
        for (const QString& text : std::exchange(box.texts, {})) {
            texts.push_back(text.toStdString());
        }
        return texts;
    }

    // Opens the disc's DICOMDIR; the boxes shown for it.
    std::vector<std::string> OpenDisc(const std::string& disc)
    {
        box.texts.clear();
        Open(temp_.Path() + "/" + disc + "/DICOMDIR");
        PumpUntil([this] { return !box.texts.empty(); }, 500);
        return Texts();
    }
};

}   // namespace

// Folder links, file links, a chain of links, the DICOMDIR through a link from outside and the
// disc's own folder a link: each opens as the plain tree does.
TEST_F(LinkedDiscTest, LinksWithinTheDiscOpenAsThePlainTree)
{
    fs::create_directory_symlink(temp_.Path() + "/LINKED", temp_.Path() + "/ROOTLINK");
    ASSERT_EQ(OpenDisc("PLAIN"), std::vector<std::string>{});
    const auto plain = Shown();
    const std::vector<std::pair<std::string, std::vector<int>>> written = {{"1.2.92.2.1", {40, 120}},
                                                                           {"1.2.92.2.2", {200}}};
    ASSERT_EQ(plain, written);
    for (const char* disc : {"LINKED", "VIA", "ROOTLINK"}) {
        EXPECT_EQ(OpenDisc(disc), std::vector<std::string>{}) << disc;
        EXPECT_EQ(List().patients.size(), 1u) << disc;
        EXPECT_EQ(Shown(), plain) << disc;
    }
}

// Images behind a link to nothing and behind a loop of links are left out, and the list names
// each for what it is, not as a link out of the disc; a disc whose images all lie behind one or
// the other is refused, naming it, and the disc open before stays.
TEST_F(LinkedDiscTest, ALinkToNothingAndALoopOfLinksAreNamedAsWhatTheyAre)
{
    const std::string dangling = GetMessageString(kXEVDanglingLinkMessage).toStdString();
    const std::string loop = GetMessageString(kXEVLinkLoopMessage).toStdString();
    EXPECT_EQ(OpenDisc("BROKEN"), std::vector<std::string>{dangling + "\n\n" + loop});
    const std::vector<std::pair<std::string, std::vector<int>>> rest = {{"1.2.92.2.1", {40}}};
    EXPECT_EQ(Shown(), rest);

    for (const auto& [disc, text] : {std::pair{"NOWHERE", dangling}, std::pair{"ROUND", loop}}) {
        SCOPED_TRACE(disc);
        box.texts.clear();
        chooser_.path = QString::fromStdString(temp_.Path() + "/" + disc + "/DICOMDIR");
        frame->OnFileOpen();
        ASSERT_TRUE(PumpUntil([this] { return !box.texts.empty(); }));
        EXPECT_EQ(Texts(), std::vector<std::string>{text});
        EXPECT_EQ(Shown(), rest);
    }
}

// An image a link places outside the disc is left out and the list says why; a disc whose
// images all lie outside is refused, naming the reason, and the disc open before stays.
TEST_F(LinkedDiscTest, ALinkOutOfTheDiscIsNamed)
{
    const std::vector<std::string> outside = {GetMessageString(kXEVLinkedOutMessage).toStdString()};
    EXPECT_EQ(OpenDisc("OUTSIDE"), outside);
    const std::vector<std::pair<std::string, std::vector<int>>> rest = {{"1.2.92.2.1", {40}}, {"1.2.92.2.2", {200}}};
    EXPECT_EQ(Shown(), rest);

    box.texts.clear();
    chooser_.path = QString::fromStdString(temp_.Path() + "/OUTFOLDER/DICOMDIR");
    frame->OnFileOpen();
    ASSERT_TRUE(PumpUntil([this] { return !box.texts.empty(); }));
    EXPECT_EQ(Texts(), outside);
    EXPECT_EQ(Shown(), rest);
}
