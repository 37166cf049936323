// Numbers longer than their VR allows (leading zeros, digits past the precision, an exponent
// last) and rescale slopes that are not finite, each as a file alone, on a disc and in a zip,
// read as pydicom reads them through the program's own path: the frames a cell reaches, the
// order of a series, the corner's thickness, the image's rows and its rescale.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "discopentestsupport.h"
#include "shell/xevcommonsettings.h"
#include "study/xevvekhelper.h"
#include "viewer/xevoverlayviewinfo.h"

namespace {

namespace fs = std::filesystem;

// What pydicom read of each file: Number of Frames, Instance Number, Slice Thickness, Rows,
// Rescale Slope ("-" when absent).
using PydicomReading = std::map<std::string, std::vector<std::string>>;

class LongNumbersTest : public DiscOpenTest {
protected:
    void SetUp() override
    {
        DiscOpenTest::SetUp();
        // The built-in corner texts: a CT's lower left holds its thickness.
        GetCommonSettings().LoadOverlaySettings();
        out_ = temp_.Path() + "/numbers";
        fs::create_directories(out_);
        const std::string command = "PYTHONDONTWRITEBYTECODE=1 PYTHONPATH=" KV_SAMPLE_DIR
                                    "/../app/testsupport/python /usr/bin/python3 -W ignore " FRAME_TEST_DATA_DIR
                                    "/write_long_numbers.py " +
                                    out_;
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        std::ifstream lines(out_ + "/pydicom.txt");
        std::string line;
        while (std::getline(lines, line)) {
            std::istringstream words(line);
            std::string name, word;
            words >> name;
            while (words >> word) {
                pydicom_[name].push_back(word);
            }
        }
        ASSERT_EQ(pydicom_.size(), 10u);
    }

    // pydicom's reading of a file's value, by column.
    std::string Py(const std::string& file, size_t column) { return pydicom_.at(file).at(column); }
    static constexpr size_t kFrames = 0, kInstance = 1, kThickness = 2, kRows = 3, kSlope = 4;

    // The corner's "THK:" line of a cell.
    static QString Thickness(XEVImageViewCtrl* cell)
    {
        const XEVOverlayViewInfo texts = cell->BuildCornerTexts();
        for (const auto& items : texts.positions) {
            for (const QString& line : texts.FormatPosition(items, 0).split(QStringLiteral("\r\n"))) {
                if (line.startsWith(QStringLiteral("THK:"))) {
                    return line;
                }
            }
        }
        return {};
    }

    static double Slope(XEVImageViewCtrl* cell)
    {
        ImageInfo* image = cell->CurrentImage();
        std::lock_guard<PlatRecursiveLock> lock(image->GetLock());
        const FrameImageInfo* frame = image->GetHelper()->GetCurrentFrame();
        return frame != nullptr ? frame->rescaleSlope : NAN;
    }

    // Every series of the disc or zip at path, as pydicom reads its files.
    void CheckSource(const std::string& path)
    {
        Open(path);
        EXPECT_EQ(box.texts.size(), 0u);
        ASSERT_EQ(SeriesSizes().size(), 8u);

        // Both frames are reachable: a cell shows each.
        ASSERT_EQ(Py("F2", kFrames), "2");
        EXPECT_EQ(ShowSeries(Series(0), 2).size(), 2u);

        // Instances in the order of their numbers: 1, 2, 3.
        SeriesInfo* order = Series(1);
        ASSERT_EQ(order->images.size(), 3u);
        std::vector<std::string> numbers;
        for (ImageInfo* image : order->images) {
            numbers.push_back(std::to_string(image->instanceNumber));
        }
        EXPECT_EQ(numbers, (std::vector<std::string>{Py("I2", kInstance), Py("I3", kInstance), Py("I1", kInstance)}));

        for (size_t k : {2, 3}) {
            const std::vector<XEVImageViewCtrl*> cells = ShowSeries(Series(k), 1);
            ASSERT_EQ(cells.size(), 1u);
            EXPECT_EQ(Thickness(cells[0]).toStdString(), ThicknessShown(k == 2 ? "THK" : "EXP"));
        }
        ShowAndCheckRows(Series(4));
        for (size_t k : {5, 6, 7}) {
            ShowAndCheckSlope(Series(k), k == 5 ? "SINF" : k == 6 ? "SNAN" : "SBIG");
        }
    }

    // pydicom's thickness as the corner formats it: two decimals, ".00" left off.
    std::string ThicknessShown(const std::string& file)
    {
        QString text = QString::asprintf("%.2f", std::stod(Py(file, kThickness)));
        if (text.endsWith(QStringLiteral(".00"))) {
            text.chop(3);
        }
        return "THK:" + text.toStdString();
    }

    void ShowAndCheckRows(SeriesInfo* series)
    {
        ASSERT_EQ(Py("ROWS", kRows), "64");
        const std::vector<XEVImageViewCtrl*> cells = ShowSeries(series, 1);
        ASSERT_EQ(cells.size(), 1u);
        EXPECT_EQ(box.texts.size(), 0u);
        EXPECT_GT(PaintedBright(cells)[0], 0);
    }

    // pydicom reads inf, nan and inf: no finite slope, so the image shows unscaled.
    void ShowAndCheckSlope(SeriesInfo* series, const std::string& file)
    {
        EXPECT_FALSE(std::isfinite(std::stod(Py(file, kSlope)))) << file;
        const std::vector<XEVImageViewCtrl*> cells = ShowSeries(series, 1);
        ASSERT_EQ(cells.size(), 1u);
        EXPECT_EQ(Slope(cells[0]), 1.0) << file;
        EXPECT_GT(PaintedBright(cells)[0], 0) << file;
        EXPECT_EQ(box.texts.size(), 0u);
    }

    std::string out_;
    PydicomReading pydicom_;
};

}   // namespace

TEST_F(LongNumbersTest, OnADisc)
{
    CheckSource(out_ + "/disc/DICOMDIR");
}

TEST_F(LongNumbersTest, InAZip)
{
    CheckSource(out_ + "/disc.zip");
}

// Each file alone: its own frames, number, thickness, rows and rescale.
TEST_F(LongNumbersTest, EachFileAlone)
{
    Open(out_ + "/disc/IMG/F2");
    ASSERT_EQ(SeriesSizes().size(), 1u);
    EXPECT_EQ(std::to_string(ShowSeries(Series(0), 2).size()), Py("F2", kFrames));

    for (const char* file : {"I1", "I2", "I3"}) {
        Open(out_ + "/disc/IMG/" + file);
        ASSERT_EQ(SeriesSizes().size(), 1u);
        ASSERT_EQ(ShowSeries(Series(0), 1).size(), 1u);
        EXPECT_EQ(std::to_string(Series(0)->images[0]->instanceNumber), Py(file, kInstance)) << file;
    }
    for (const char* file : {"THK", "EXP"}) {
        Open(out_ + "/disc/IMG/" + file);
        ASSERT_EQ(SeriesSizes().size(), 1u);
        const std::vector<XEVImageViewCtrl*> cells = ShowSeries(Series(0), 1);
        ASSERT_EQ(cells.size(), 1u);
        EXPECT_EQ(Thickness(cells[0]).toStdString(), ThicknessShown(file));
    }
    Open(out_ + "/disc/IMG/ROWS");
    ASSERT_EQ(SeriesSizes().size(), 1u);
    ShowAndCheckRows(Series(0));
    for (const char* file : {"SINF", "SNAN", "SBIG"}) {
        Open(out_ + "/disc/IMG/" + file);
        ASSERT_EQ(SeriesSizes().size(), 1u);
        ShowAndCheckSlope(Series(0), file);
    }
}
