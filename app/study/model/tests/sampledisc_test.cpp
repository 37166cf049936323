#include <gtest/gtest.h>

#include <QString>

#include <cstring>
#include <memory>
#include <vector>

#include "shell/xevcommonsettings.h"
#include "study/xevstudymodel.h"
#include "study/xevvekhelper.h"
#include "vek_dicominfo.h"
#include "vek_fileinputstorage.h"
#include "vek_managerimpl.h"

// The committed sample disc the README points users at: what its DICOMDIR lists and how the
// MR's first image looks, from the values make_discs.sh wrote.

namespace {

const QString kSample = QStringLiteral(KV_SAMPLE_DIR);

struct SampleDisc {
    std::vector<PatientInfo*> patients;
    int32_t result = 0;
    XEVVEKHelper helper;
    SampleDisc()
    {
        int32_t hasFrameCounts = 0, split = 0;
        GetCommonSettings().ModeSupportSR = 1;
        result = helper.LoadDicomDir(kSample + QStringLiteral("/DICOMDIR"), patients, hasFrameCounts, split);
        GetCommonSettings().ModeSupportSR = 0;
    }
    ~SampleDisc()
    {
        for (PatientInfo* p : patients)
            delete p;
    }
};

}   // namespace

TEST(SampleDiscTest, TwoPatientsWithTheirStudiesAndSeries)
{
    SampleDisc disc;
    ASSERT_EQ(disc.result, 1) << disc.helper.statusText.toStdString();
    ASSERT_EQ(disc.patients.size(), 2u);
    const PatientInfo& yamada = *disc.patients[0];
    EXPECT_EQ(yamada.nameIdeographic, QStringLiteral("山田 太郎"));
    EXPECT_EQ(yamada.nameAlphabetic, QStringLiteral("Yamada Taro"));
    ASSERT_EQ(yamada.studies.size(), 1u);
    const StudyInfo& head = *yamada.studies[0];
    ASSERT_EQ(head.series.size(), 3u);
    EXPECT_EQ(head.series[0]->modality, QStringLiteral("CT"));
    EXPECT_EQ(head.series[0]->images.size(), 4u);
    EXPECT_EQ(head.series[1]->modality, QStringLiteral("MR"));
    EXPECT_EQ(head.series[1]->images.size(), 4u);
    EXPECT_EQ(head.series[2]->modality, QStringLiteral("SR"));

    const PatientInfo& suzuki = *disc.patients[1];
    EXPECT_EQ(suzuki.nameAlphabetic, QStringLiteral("Suzuki Hanako"));
    ASSERT_EQ(suzuki.studies.size(), 1u);
    const StudyInfo& chest = *suzuki.studies[0];
    ASSERT_EQ(chest.series.size(), 2u);
    EXPECT_EQ(chest.series[0]->modality, QStringLiteral("CR"));
    EXPECT_EQ(chest.series[1]->images.size(), 10u);
}

TEST(SampleDiscTest, TheDirectoryGivesItsFilesStudyDateBirthDateAndSex)
{
    SampleDisc disc;
    ASSERT_EQ(disc.result, 1);
    int32_t files = 0;
    for (const PatientInfo* p : disc.patients) {
        for (const StudyInfo* study : p->studies) {
            EXPECT_EQ(study->studyDate, QStringLiteral("20260315"));
            for (const SeriesInfo* s : study->series) {
                for (const ImageInfo* image : s->images) {
                    VEK_DefaultManager manager;
                    const std::string path = image->filePath.toStdString();
                    VEK_FileInputStorage* storage = VEK_FileInputStorage::create(&manager, path.c_str());
                    ASSERT_NE(storage, nullptr) << path;
                    VEK_DICOMInfo info(&manager);
                    const bool loaded = info.load(storage);
                    vek_destroy(storage);
                    ASSERT_TRUE(loaded) << path;
                    const auto value = [&](uint16_t element, uint16_t group = 0x0010) {
                        const VEK_WString text = info.get_string_value(group, element);
                        return QString(reinterpret_cast<const QChar*>(text.c_str()), qsizetype(text.size())).trimmed();
                    };
                    EXPECT_EQ(value(0x0020, 0x0008), study->studyDate) << path;
                    EXPECT_EQ(value(0x0030), p->birthDate) << path;
                    EXPECT_EQ(value(0x0040), p->sex) << path;
                    ++files;
                }
            }
        }
    }
    EXPECT_EQ(files, 20);   // the run lists one entry per frame
}

TEST(SampleDiscTest, EveryImageDecodes)
{
    SampleDisc disc;
    ASSERT_EQ(disc.result, 1);
    int32_t images = 0;
    for (const PatientInfo* p : disc.patients) {
        for (const SeriesInfo* s : p->studies[0]->series) {
            if (s->modality == QStringLiteral("SR"))
                continue;
            XEVVEKHelper helper;
            int32_t frame = 0;
            EXPECT_EQ(helper.LoadImage(s->images[0]->filePath, frame), 1) << s->images[0]->filePath.toStdString();
            EXPECT_NE(helper.GetFrame(0), nullptr);
            ++images;
        }
    }
    EXPECT_EQ(images, 4);
}

TEST(SampleDiscTest, MrImageOneShowsItsFourGreysThroughItsWindow)
{
    SampleDisc disc;
    ASSERT_EQ(disc.result, 1);
    ASSERT_GE(disc.patients.size(), 1u);
    const SeriesInfo& mr = *disc.patients[0]->studies[0]->series[1];
    XEVVEKHelper helper;
    int32_t index = 0;
    ASSERT_EQ(helper.LoadImage(mr.images[0]->filePath, index), 1);
    FrameImageInfo* frame = helper.GetFrame(0);
    ASSERT_NE(frame, nullptr);
    EXPECT_DOUBLE_EQ(frame->windowCenter, 512);
    EXPECT_DOUBLE_EQ(frame->windowWidth, 1024);
    helper.scaleMode = 0;
    ASSERT_EQ(helper.RenderToView(frame->Data(), frame->Size(), 0), 1);
    // An 8-bit bottom-up DIB of 256 x 256: its palette is the identity grey ramp.
    const uint8_t* dib = helper.displayData;
    uint32_t info = 0, colours = 0;
    int32_t width = 0, height = 0;
    std::memcpy(&info, dib, 4);
    std::memcpy(&width, dib + 4, 4);
    std::memcpy(&height, dib + 8, 4);
    std::memcpy(&colours, dib + 32, 4);
    ASSERT_EQ(width, 256);
    ASSERT_EQ(std::abs(height), 256);
    const uint8_t* bits = dib + info + (colours ? colours : 256) * 4;
    auto at = [&](int x, int y) { return bits[size_t(height > 0 ? 255 - y : y) * 256 + x]; };
    EXPECT_NEAR(at(64, 64), 0, 1);
    EXPECT_NEAR(at(192, 64), 85, 1);
    EXPECT_NEAR(at(64, 192), 170, 1);
    EXPECT_NEAR(at(192, 192), 255, 1);
}
