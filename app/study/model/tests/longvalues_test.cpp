// Files whose values run to megabytes, written at test time: what is read of them is cut to
// what the viewer shows, and the image still loads.
#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>
#include <QString>

#include <cstdlib>
#include <string>
#include <vector>

#include "headerback.h"
#include "plat_temp_folder.h"
#include "study/xevstudymodel.h"
#include "study/xevvekhelper.h"
#include "vek_fileinputstorage.h"
#include "viewer/xevoverlaysettinginfo.h"
#include "viewer/xevoverlayviewinfo.h"

namespace {

// The 64 x 64 ramp of write_long_values.py under folder/IMG/LONG, its chosen values `bytes` long.
QString WriteLongValues(const std::string& folder, uint64_t bytes, const char* kinds)
{
    const std::string command = "/usr/bin/python3 " + std::string(STUDY_TEST_DATA_DIR) + "/write_long_values.py " +
                                folder + " " + std::to_string(bytes) + " " + kinds;
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return QString::fromStdString(folder + "/IMG/LONG");
}

struct Records {
    std::vector<PatientInfo*> patients;
    ~Records()
    {
        for (PatientInfo* p : patients) {
            delete p;
        }
    }
};

}   // namespace

// 2 x 10^6 window values each: the first usable pair sets the window, and no more than the
// bound of the values becomes text.
TEST(LongValuesTest, WindowValuesAreReadToTheirFirstPairs)
{
    PlatTempFolder temp;
    const QString path = WriteLongValues(temp.Path(), 4000000, "window");
    XEVVEKHelper helper;
    int32_t frame = 0;
    ASSERT_EQ(helper.LoadImage(path, frame), 1) << helper.statusText.toStdString();
    EXPECT_DOUBLE_EQ(helper.GetFrame(0)->windowCenter, 40);
    EXPECT_DOUBLE_EQ(helper.GetFrame(0)->windowWidth, 400);

    // The values as the file holds them, before the load lets long ones go.
    VEK_DefaultManager manager;
    VEK_FileInputStorage* storage = VEK_FileInputStorage::create(&manager, path.toStdString().c_str());
    ASSERT_NE(storage, nullptr);
    VEK_DICOMInfo info(&manager);
    ASSERT_TRUE(info.load(storage));
    vek_destroy(storage);
    bool cut = false;
    const QString centres = DicomTextValue(info, 0x0028, 0x1050, kXEVTextValueLength, &cut);
    EXPECT_TRUE(cut);
    EXPECT_EQ(centres.size(), qsizetype(kXEVTextValueLength));
    EXPECT_TRUE(centres.startsWith(QStringLiteral("40\\2\\2")));
    // A value within the bound is whole and not said to be cut.
    EXPECT_EQ(DicomTextValue(info, 0x0008, 0x0060, kXEVTextValueLength, &cut), QStringLiteral("OT"));
    EXPECT_FALSE(cut);
}

// A file opened alone lists its patient's name and its series' description from its own
// values: each is cut to the bound a DICOMDIR's records are read to.
TEST(LongValuesTest, NamesOfAFileAloneAreCut)
{
    PlatTempFolder temp;
    const QString path = WriteLongValues(temp.Path(), 2000000, "name description");
    XEVVEKHelper lister;
    Records r;
    ASSERT_EQ(lister.LoadDicomFile(path, r.patients), 1) << lister.statusText.toStdString();
    ASSERT_EQ(r.patients.size(), 1u);
    const PatientInfo& patient = *r.patients[0];
    const QString name = patient.nameIdeographic.isEmpty() ? patient.nameAlphabetic : patient.nameIdeographic;
    EXPECT_TRUE(name.startsWith(QStringLiteral("Long"))) << name.left(40).toStdString();
    EXPECT_LE(patient.nameIdeographic.size(), qsizetype(kXEVTextValueLength));
    EXPECT_LE(patient.nameAlphabetic.size(), qsizetype(kXEVTextValueLength));
    const SeriesInfo& series = *patient.studies.at(0)->series.at(0);
    EXPECT_EQ(series.description.size(), qsizetype(kXEVTextValueLength));
    EXPECT_TRUE(series.description.startsWith(QStringLiteral("Long description yyy")));
    EXPECT_EQ(patient.patientId, QStringLiteral("LV1"));

    XEVVEKHelper loader;
    int32_t frame = 0;
    EXPECT_EQ(loader.LoadImage(path, frame), 1) << loader.statusText.toStdString();
}

// A DICOMDIR whose records hold the file's long name and description (2 KiB, and 1 MiB past
// what a record's value is read to) lists them cut as the file opened alone does.
TEST(LongValuesTest, LongTextsOfADicomDirAreCutAsTheFileAlones)
{
    for (const uint64_t bytes : {uint64_t(2048), uint64_t(1) << 20}) {
        SCOPED_TRACE(bytes);
        PlatTempFolder temp;
        const QString path = WriteLongValues(temp.Path(), bytes, "name description --dicomdir-long");
        XEVVEKHelper alone;
        Records file;
        ASSERT_EQ(alone.LoadDicomFile(path, file.patients), 1) << alone.statusText.toStdString();
        XEVVEKHelper lister;
        Records dir;
        int32_t frameCounts = 0;
        int32_t split = 0;
        ASSERT_EQ(
            lister.LoadDicomDir(QString::fromStdString(temp.Path() + "/DICOMDIR"), dir.patients, frameCounts, split), 1)
            << lister.statusText.toStdString();
        ASSERT_EQ(file.patients.size(), 1u);
        ASSERT_EQ(dir.patients.size(), 1u);
        const PatientInfo& a = *file.patients[0];
        const PatientInfo& d = *dir.patients[0];
        EXPECT_TRUE((d.nameIdeographic + d.nameAlphabetic).startsWith(QStringLiteral("Long")));
        EXPECT_EQ(d.nameIdeographic, a.nameIdeographic);
        EXPECT_EQ(d.nameAlphabetic, a.nameAlphabetic);
        const QString& description = d.studies.at(0)->series.at(0)->description;
        EXPECT_EQ(description.size(), qsizetype(kXEVTextValueLength));
        EXPECT_TRUE(description.startsWith(QStringLiteral("Long description yyy")));
        EXPECT_EQ(description, a.studies.at(0)->series.at(0)->description);
        EXPECT_EQ(d.studies.at(0)->series.at(0)->images.size(), 1u);
    }
}

// A settings file naming the Series Description on 2,000 lines over an image whose
// description is 60,000 bytes: a corner keeps as many items as a view shows, each value cut
// to a line's length, and draws.
TEST(LongValuesTest, CornerItemsAreCountedAndCut)
{
    PlatTempFolder temp;
    const QString path = WriteLongValues(temp.Path(), 60000, "description");
    XEVVEKHelper helper;
    int32_t frame = 0;
    ASSERT_EQ(helper.LoadImage(path, frame), 1) << helper.statusText.toStdString();
    ASSERT_TRUE(ReadHeaderBack(helper));
    XEVOverlaySettingInfo settings;
    for (int i = 0; i < 2000; ++i) {
        XEVOverlaySettingInfoItem item;
        item.kind = XEVOverlaySettingInfoItem::kTag;
        item.group = 0x0008;
        item.element = 0x103E;
        item.appendSeparator = 1;
        item.separator = QStringLiteral("\r\n");
        settings.AddItem(i % 2 == 0 ? 0 : 7, item);
    }
    XEVOverlayViewInfo view;
    for (int32_t position = 0; position < kXEVOverlayPositionCount; ++position) {
        helper.BuildCornerPosition(settings, position, view);
    }
    for (int32_t position : {0, 7}) {
        ASSERT_EQ(view.positions[position].size(), kXEVCornerItemLimit);
        for (const XEVOverlaySettingInfoItem& item : view.positions[position]) {
            ASSERT_EQ(item.value.size(), kXEVCornerValueLength);
            ASSERT_TRUE(item.value.startsWith(QStringLiteral("Long description y")));
        }
    }
    QImage image(256, 256, QImage::Format_RGB32);
    image.fill(Qt::black);
    {
        QPainter painter(&image);
        view.Draw(painter, image.rect(), 0);
    }
    int white = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            white += qGray(image.pixel(x, y)) > 200 ? 1 : 0;
        }
    }
    EXPECT_GT(white, 0);
}
