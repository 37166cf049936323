// Smooth enlargement in a cell, read back from grabs against the closed form of bilinear
// interpolation: a signed CT edge and ramp across the window's edges, MONOCHROME1, the invert
// command, and an RGB frame that stays in colour.

#include <cmath>
#include <functional>
#include <vector>

#include "testsupport/viewtestsupport.h"

namespace {

// One linear pass at a scale of 4 with pixel centres aligned and edge pixels repeated: the
// weights are eighths, exact in doubles, and each pass rounds halves up.
std::vector<double> Enlarge4(const std::function<double(int, int)>& at, int width, int height, bool across)
{
    const int outWidth = across ? width * 4 : width;
    const int outHeight = across ? height : height * 4;
    std::vector<double> out(size_t(outWidth) * outHeight);
    for (int y = 0; y < outHeight; ++y) {
        for (int x = 0; x < outWidth; ++x) {
            const double pos = ((across ? x : y) + 0.5) / 4 - 0.5;
            const int left = int(std::floor(pos));
            const double f = pos - left;
            const int last = (across ? width : height) - 1;
            const int a = std::clamp(left, 0, last);
            const int b = std::clamp(left + 1, 0, last);
            const double va = across ? at(a, y) : at(x, a);
            const double vb = across ? at(b, y) : at(x, b);
            out[size_t(y) * outWidth + x] = std::floor(va * (1 - f) + vb * f + 0.5);
        }
    }
    return out;
}

// Width pass, then height pass, as the enlargement runs.
std::vector<double> Bilinear4(const std::function<double(int, int)>& at, int width, int height)
{
    const std::vector<double> wide = Enlarge4(at, width, height, true);
    return Enlarge4([&](int x, int y) { return wide[size_t(y) * width * 4 + x]; }, width * 4, height, false);
}

// The fixture's CT (make_paint.sh): an edge in the upper half, a ramp in the lower.
double EdgePixel(int x, int y)
{
    if (y >= 8) {
        return -320 + 40 * x;
    }
    return x < 16 ? -1000 + 9 * y + 3 * x : 500 + 9 * y - 5 * x;
}

// Pixels of the drawn image that differ from the expected grey, inside the cell's frame (3
// pixels wide on an active cell, else 1).
int WrongGreys(const QImage& image, const std::vector<int>& want, int width, int height, int frame = 1)
{
    int wrong = 0;
    for (int y = frame; y < height - frame; ++y) {
        for (int x = frame; x < width - frame; ++x) {
            const QRgb p = image.pixel(x, y);
            const int v = want[size_t(y) * width + x];
            wrong += qRed(p) != v || qGreen(p) != v || qBlue(p) != v ? 1 : 0;
        }
    }
    return wrong;
}

struct SmoothCell {
    SmoothCell(int w, int h, const char* name) : set({name}, true), view(&parent, 9001)
    {
        parent.resize(w + 20, h + 20);
        view.setGeometry(0, 0, w, h);
        view.SetImages(set.Pointers());
        view.SetupFirstImage();
        view.cornerTextsShown = 0;
    }
    ImageSet set;
    MessageLog parent;
    XEVImageViewCtrl view;
};

// The values are scaled first and windowed after: where the edge crosses the window the cell
// shows the window of the interpolated value, not an interpolation of clamped greys.
TEST(ImageViewSmooth, SignedEdgeIsScaledBeforeItsWindow)
{
    const std::vector<double> values = Bilinear4(EdgePixel, 32, 16);
    std::vector<int> windowed;
    for (const double v : values) {
        windowed.push_back(Windowed(v, 0, 400));
    }
    // Upper half, columns 62 and 65 either side of the jump: -1000-ish and 500-ish mixed 3:1 and 1:3.
    EXPECT_EQ(windowed[size_t(10) * 128 + 63], 0);
    EXPECT_GT(windowed[size_t(10) * 128 + 64], 0);
    EXPECT_LT(windowed[size_t(10) * 128 + 64], 255);

    SmoothCell cell(128, 64, "edge_ct.dcm");
    cell.view.SetWindowAll(0, 400);
    EXPECT_EQ(cell.view.destination, QRect(0, 0, 128, 64));
    EXPECT_EQ(WrongGreys(Grab(cell.view), windowed, 128, 64), 0);
    EXPECT_EQ(cell.set[0]->GetHelper()->scaleMode, 1);

    // The invert command: every grey turns to 255 - grey.
    ASSERT_TRUE(cell.view.SetActive(true));
    cell.view.OnCommand(ID_XEV_INVERT);
    std::vector<int> inverted;
    for (const int v : windowed) {
        inverted.push_back(255 - v);
    }
    EXPECT_EQ(WrongGreys(Grab(cell.view), inverted, 128, 64, 3), 0);

    // A wider window whose edges cut the ramp at other places.
    cell.view.OnCommand(ID_XEV_INVERT);
    cell.view.SetActive(false);
    cell.view.SetWindowAll(300, 900);
    std::vector<int> wide;
    for (const double v : values) {
        wide.push_back(Windowed(v, 300, 900));
    }
    EXPECT_EQ(WrongGreys(Grab(cell.view), wide, 128, 64), 0);
}

TEST(ImageViewSmooth, MonochromeOneEdgeIsInvertedAndTheCommandUndoesIt)
{
    const std::vector<double> values = Bilinear4(EdgePixel, 32, 16);
    std::vector<int> windowed, inverted;
    for (const double v : values) {
        windowed.push_back(Windowed(v, 0, 400));
        inverted.push_back(255 - windowed.back());
    }
    SmoothCell cell(128, 64, "edge_ct_mono1.dcm");
    cell.view.SetWindowAll(0, 400);
    EXPECT_EQ(WrongGreys(Grab(cell.view), inverted, 128, 64), 0);
    ASSERT_TRUE(cell.view.SetActive(true));
    cell.view.OnCommand(ID_XEV_INVERT);
    cell.view.SetActive(false);
    EXPECT_EQ(WrongGreys(Grab(cell.view), windowed, 128, 64), 0);
}

// A colour frame keeps its three channels, each interpolated on its own.
TEST(ImageViewSmooth, RgbFrameStaysInColour)
{
    const auto channel = [](int c) {
        return [c](int x, int y) -> double {
            if (c == 0) {
                return x * 16 + 3;
            }
            if (c == 1) {
                return y * 30 + 5;
            }
            return (x + y) % 4 < 2 ? 240 : 10;
        };
    };
    const std::vector<double> red = Bilinear4(channel(0), 16, 8);
    const std::vector<double> green = Bilinear4(channel(1), 16, 8);
    const std::vector<double> blue = Bilinear4(channel(2), 16, 8);

    SmoothCell cell(64, 32, "rgb_small.dcm");
    const QImage image = Grab(cell.view);
    EXPECT_EQ(cell.view.destination, QRect(0, 0, 64, 32));
    int wrong = 0;
    for (int y = 1; y < 31; ++y) {
        for (int x = 1; x < 63; ++x) {
            const size_t i = size_t(y) * 64 + x;
            wrong += IsColour(image, x, y, int(red[i]), int(green[i]), int(blue[i])) ? 0 : 1;
        }
    }
    EXPECT_EQ(wrong, 0);
}

}   // namespace
