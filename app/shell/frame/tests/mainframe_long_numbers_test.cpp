// Numbers longer than their VR allows (leading zeros, digits past the precision, an exponent
// last), rescale slopes that are not finite, and values that are no number (empty, blanks,
// characters after the number, an IS with a fraction, out of range), and integers written as
// decimals ("3.0", "3e0", "+3."), each as a file alone, on a disc and in a zip, read as pydicom
// reads them through the program's own path: the frames a cell reaches, the order of a series,
// the corner's thickness, the image's rows, its rescale, its window, its position, spacing and
// orientation, and the corner's orientation letters.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
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
        pydicom_ = ReadPydicomReadings(out_ + "/pydicom.txt");
        ASSERT_EQ(pydicom_.size(), 34u);
    }

    // pydicom's reading of a file's value, by column.
    std::string Py(const std::string& file, size_t column) { return pydicom_.at(file).at(column); }
    static constexpr size_t kFrames = 0, kInstance = 1, kThickness = 2, kRows = 3, kSlope = 4, kWindow = 5,
                            kPosition = 6, kSpacing = 7, kOrientation = 8, kServed = 9;
    // Each file's series on the disc, in the script's order.
    static constexpr size_t kSeriesCount = 26, kWindowSeries = 8, kGeometrySeries = 14, kTrailingSlopeSeries = 16,
                            kNumberSeries = 18, kRowsSeries = 19, kFrameCountSeries = 20, kDecimalCountSeries = 22,
                            kDecimalNumberSeries = 25;
    static constexpr const char* kDecimalCountFiles[] = {"FDEC", "FEXP", "FPLUS"};
    static constexpr const char* kWindowFiles[] = {"WNONE", "WGAP", "WEMPTY", "WBLANK", "WEXP", "WHEX"};

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
        ASSERT_EQ(SeriesSizes().size(), kSeriesCount);

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

        for (size_t i = 0; i < std::size(kDecimalCountFiles); ++i) {
            ShowAndCheckDecimalCount(Series(kDecimalCountSeries + i), kDecimalCountFiles[i]);
        }
        // "1.0" is 1: first, before "2" and "3".
        std::vector<std::pair<std::string, std::string>> listed;
        for (ImageInfo* image : Series(kDecimalNumberSeries)->images) {
            listed.emplace_back(fs::path(image->filePath.toStdString()).filename().string(),
                                image->numbered ? std::to_string(image->instanceNumber) : "-");
        }
        EXPECT_EQ(listed, (std::vector<std::pair<std::string, std::string>>{
                              {"D1", Py("D1", kInstance)}, {"D2", Py("D2", kInstance)}, {"D3", Py("D3", kInstance)}}));
    }

    // The values that are no number, in every series of the disc or zip at path.
    void CheckNoValues(const std::string& path)
    {
        Open(path);
        EXPECT_EQ(box.texts.size(), 0u);
        ASSERT_EQ(SeriesSizes().size(), kSeriesCount);
        for (size_t i = 0; i < std::size(kWindowFiles); ++i) {
            ShowAndCheckWindow(Series(kWindowSeries + i), kWindowFiles[i]);
        }
        ShowAndCheckGeometry(Series(kGeometrySeries), "GOK");
        ShowAndCheckGeometry(Series(kGeometrySeries + 1), "GBAD");
        ShowAndCheckSlope(Series(kTrailingSlopeSeries), "SHEX");
        ShowAndCheckSlope(Series(kTrailingSlopeSeries + 1), "SABC");

        // Numbered images in the order of their numbers, then those whose number is no value.
        std::vector<std::pair<std::string, std::string>> expected;
        for (const char* file : {"N1", "N2", "NBIG", "NNEG", "NFRAC"}) {
            expected.emplace_back(file, Py(file, kInstance));
        }
        std::stable_sort(expected.begin(), expected.end(), [](const auto& a, const auto& b) {
            return a.second != "-" && (b.second == "-" || std::stoll(a.second) < std::stoll(b.second));
        });
        SeriesInfo* numbered = Series(kNumberSeries);
        std::vector<std::pair<std::string, std::string>> listed;
        for (ImageInfo* image : numbered->images) {
            listed.emplace_back(fs::path(image->filePath.toStdString()).filename().string(),
                                image->numbered ? std::to_string(image->instanceNumber) : "-");
        }
        EXPECT_EQ(listed, expected);

        ShowAndCheckRefusedRows(Series(kRowsSeries), "RABC");
        for (size_t k : {0, 1}) {
            const char* file = k == 0 ? "FBIG" : "FMID";
            ShowAndCheckFrames(Series(kFrameCountSeries + k), file);
        }
    }

    // What a cell's frame holds of the values read.
    struct Shown {
        double windowCenter = NAN, windowWidth = NAN, spacing1 = NAN, spacing2 = NAN;
        std::vector<double> position, orientation;
    };
    static Shown Frame(XEVImageViewCtrl* cell)
    {
        ImageInfo* image = cell->CurrentImage();
        std::lock_guard<PlatRecursiveLock> lock(image->GetLock());
        const FrameImageInfo* frame = image->GetHelper()->GetCurrentFrame();
        if (frame == nullptr) {
            return {};
        }
        return {frame->windowCenter,
                frame->windowWidth,
                frame->spacing1,
                frame->spacing2,
                {std::begin(frame->position), std::end(frame->position)},
                {std::begin(frame->orientation), std::end(frame->orientation)}};
    }

    // pydicom's first pair of numbers, else the window of the same image without the elements.
    void ShowAndCheckWindow(SeriesInfo* series, const std::string& file)
    {
        const std::vector<XEVImageViewCtrl*> cells = ShowSeries(series, 1);
        ASSERT_EQ(cells.size(), 1u);
        const Shown frame = Frame(cells[0]);
        if (file == "WNONE") {
            defaultWindow_ = {frame.windowCenter, frame.windowWidth};
            return;
        }
        ASSERT_TRUE(defaultWindow_.has_value());
        const std::string pair = Py(file, kWindow);
        const std::pair<double, double> want = pair == "-" ? *defaultWindow_
                                                           : std::pair{std::stod(pair.substr(0, pair.find('/'))),
                                                                       std::stod(pair.substr(pair.find('/') + 1))};
        EXPECT_EQ(frame.windowCenter, want.first) << file;
        EXPECT_EQ(frame.windowWidth, want.second) << file;
        EXPECT_GT(PaintedBright(cells)[0], 0) << file;
        EXPECT_EQ(box.texts.size(), 0u);
    }

    static std::vector<double> Values(const std::string& text)
    {
        std::vector<double> values;
        std::istringstream parts(text);
        for (std::string part; std::getline(parts, part, '\\');) {
            values.push_back(std::stod(part));
        }
        return values;
    }

    // Position, orientation and spacing as pydicom reads each list, a list it cannot read held as
    // an absent one is (zeros); the corner's orientation letters from the same reading.
    void ShowAndCheckGeometry(SeriesInfo* series, const std::string& file)
    {
        const std::vector<XEVImageViewCtrl*> cells = ShowSeries(series, 1);
        ASSERT_EQ(cells.size(), 1u);
        const Shown frame = Frame(cells[0]);
        const std::string position = Py(file, kPosition), orientation = Py(file, kOrientation);
        const std::vector<double> p = position == "-" ? std::vector<double>(3, 0.0) : Values(position);
        const std::vector<double> o = orientation == "-" ? std::vector<double>(6, 0.0) : Values(orientation);
        EXPECT_EQ(frame.position, p) << file;
        EXPECT_EQ(frame.orientation, o) << file;
        const std::string spacing = Py(file, kSpacing);
        const std::vector<double> s = spacing == "-" ? std::vector<double>(2, 0.0) : Values(spacing);
        EXPECT_EQ(frame.spacing2, s.at(0)) << file;   // rows apart, then columns
        EXPECT_EQ(frame.spacing1, s.at(1)) << file;
        // Row (1, 0, 0) runs from the patient's right to left, column (0, 1, 0) from front to back.
        const XEVOverlayViewInfo texts = cells[0]->BuildCornerTexts();
        const bool read = orientation != "-";
        EXPECT_EQ(texts.orientationLeftText.toStdString(), read ? "R" : "") << file;
        EXPECT_EQ(texts.orientationRightText.toStdString(), read ? "L" : "") << file;
        EXPECT_EQ(texts.orientationTopText.toStdString(), read ? "A" : "") << file;
        EXPECT_EQ(texts.orientationBottomText.toStdString(), read ? "P" : "") << file;
    }

    // A count past its type serves the frames held: an entry each, each frame shown.
    void ShowAndCheckFrames(SeriesInfo* series, const std::string& file)
    {
        ASSERT_EQ(std::to_string(series->images.size()), Py(file, kServed)) << file;
        EXPECT_EQ(ShowSeries(series, series->images.size()).size(), series->images.size()) << file;
    }

    // A count written as a decimal without a fraction serves its frames as a plain one does: an
    // entry each, each frame shown as one of a multi-frame image.
    void ShowAndCheckDecimalCount(SeriesInfo* series, const std::string& file)
    {
        ASSERT_EQ(Py(file, kFrames), "3") << file;
        ASSERT_EQ(std::to_string(series->images.size()), Py(file, kServed)) << file;
        const std::vector<XEVImageViewCtrl*> cells = ShowSeries(series, series->images.size());
        // A cell's texts are there once no load holds its image.
        for (XEVImageViewCtrl* cell : cells) {
            EXPECT_TRUE(PumpUntil([&] { return cell->BuildCornerTexts().multiframeText == "Multiframe"; })) << file;
        }
    }

    // Rows that are no number are as none: the image cannot be read, and says so once.
    void ShowAndCheckRefusedRows(SeriesInfo* series, const std::string& file)
    {
        ASSERT_EQ(Py(file, kRows), "-");
        AwaitStartShow();
        const size_t before = box.texts.size();
        Image().ShowSeries(series);
        EXPECT_TRUE(PumpUntil([&] { return box.texts.size() > before; })) << file;
        for (const auto& [id, cell] : Image().ActiveCells()) {
            EXPECT_FALSE(cell->HasFramePixels(0)) << file;
        }
        box.texts.clear();
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

    // pydicom reads inf, nan and inf, or no number: no finite slope, so the image shows unscaled.
    void ShowAndCheckSlope(SeriesInfo* series, const std::string& file)
    {
        const std::string slope = Py(file, kSlope);
        EXPECT_TRUE(slope == "-" || !std::isfinite(std::stod(slope))) << file;
        const std::vector<XEVImageViewCtrl*> cells = ShowSeries(series, 1);
        ASSERT_EQ(cells.size(), 1u);
        EXPECT_EQ(Slope(cells[0]), 1.0) << file;
        EXPECT_GT(PaintedBright(cells)[0], 0) << file;
        EXPECT_EQ(box.texts.size(), 0u);
    }

    // Made before SetUp loads the built-in corners.
    const KeptOverlaySettings keptSettings_;
    std::string out_;
    PydicomReading pydicom_;
    std::optional<std::pair<double, double>> defaultWindow_;
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
    for (const char* file : kDecimalCountFiles) {
        Open(out_ + "/disc/IMG/" + file);
        ASSERT_EQ(SeriesSizes().size(), 1u);
        ShowAndCheckDecimalCount(Series(0), file);
    }
    Open(out_ + "/disc/IMG/D1");
    ASSERT_EQ(SeriesSizes().size(), 1u);
    const ImageInfo* decimal = Series(0)->images.at(0);
    EXPECT_EQ(decimal->numbered ? std::to_string(decimal->instanceNumber) : "-", Py("D1", kInstance));
    for (const char* file : {"SINF", "SNAN", "SBIG"}) {
        Open(out_ + "/disc/IMG/" + file);
        ASSERT_EQ(SeriesSizes().size(), 1u);
        ShowAndCheckSlope(Series(0), file);
    }
}

TEST_F(LongNumbersTest, NoNumbersOnADisc)
{
    CheckNoValues(out_ + "/disc/DICOMDIR");
}

TEST_F(LongNumbersTest, NoNumbersInAZip)
{
    CheckNoValues(out_ + "/disc.zip");
}

// Each file alone: its window, geometry, rescale, number, rows and frames.
TEST_F(LongNumbersTest, NoNumbersInEachFileAlone)
{
    const auto alone = [&](const std::string& file) {
        Open(out_ + "/disc/IMG/" + file);
        EXPECT_EQ(SeriesSizes().size(), 1u) << file;
        return Series(0);
    };
    for (const char* file : kWindowFiles) {
        ShowAndCheckWindow(alone(file), file);
    }
    for (const char* file : {"GOK", "GBAD"}) {
        ShowAndCheckGeometry(alone(file), file);
    }
    for (const char* file : {"SHEX", "SABC"}) {
        ShowAndCheckSlope(alone(file), file);
    }
    for (const char* file : {"N1", "N2", "NBIG", "NNEG", "NFRAC"}) {
        const ImageInfo* image = alone(file)->images.at(0);
        EXPECT_EQ(image->numbered ? std::to_string(image->instanceNumber) : "-", Py(file, kInstance)) << file;
    }
    ShowAndCheckRefusedRows(alone("RABC"), "RABC");
    for (const char* file : {"FBIG", "FMID"}) {
        ShowAndCheckFrames(alone(file), file);
    }
}
