#include <gtest/gtest.h>

#include <QString>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "frameoracle.h"
#include "study/xevstudymodel.h"
#include "study/xevvekhelper.h"

namespace {

QString Fixture(const char* name)
{
    return FrameFixture(name);
}

// An 8-bit DIB as rows top-down, from its info header and bottom-up padded rows.
struct Dib {
    int32_t width = 0;
    int32_t height = 0;
    int32_t bitCount = 0;
    std::vector<std::vector<uint8_t>> rows;
};

Dib ParseDib(const uint8_t* data, uint32_t size)
{
    Dib dib;
    if (size < 40) {
        return dib;
    }
    uint32_t infoSize = 0, colours = 0;
    uint16_t bitCount = 0;
    std::memcpy(&infoSize, data, 4);
    std::memcpy(&dib.width, data + 4, 4);
    std::memcpy(&dib.height, data + 8, 4);
    std::memcpy(&bitCount, data + 14, 2);
    std::memcpy(&colours, data + 32, 4);
    dib.bitCount = bitCount;
    if (bitCount <= 8 && colours == 0) {
        colours = 1u << bitCount;
    }
    const uint32_t offset = infoSize + (bitCount <= 8 ? colours * 4 : 0);
    const uint32_t stride = (uint32_t(dib.width) * bitCount + 31) / 32 * 4;
    const int32_t height = std::abs(dib.height);
    if (uint64_t(offset) + uint64_t(stride) * height > size) {
        return Dib();
    }
    for (int32_t y = 0; y < height; ++y) {
        const int32_t stored = dib.height > 0 ? height - 1 - y : y;
        const uint8_t* row = data + offset + size_t(stored) * stride;
        dib.rows.emplace_back(row, row + stride);
    }
    return dib;
}

// The DIB as Pillow reads it, converted to mode ("L" or "RGB"), rows top-down; empty when
// Pillow cannot read it.
std::vector<uint8_t> PillowPixels(const XEVVEKHelper& helper, const char* mode)
{
    QTemporaryDir dir;
    const std::string bmp = (dir.path() + QStringLiteral("/frame.bmp")).toStdString();
    const std::string raw = (dir.path() + QStringLiteral("/frame.raw")).toStdString();
    {
        // The file header Pillow needs before the DIB: "BM", file size, pixel offset.
        const uint32_t fileSize = 14 + helper.displaySize;
        const uint32_t offset = 14 + helper.dibInfoBytes;
        uint8_t head[14] = {'B', 'M'};
        std::memcpy(head + 2, &fileSize, 4);
        std::memcpy(head + 10, &offset, 4);
        std::ofstream out(bmp, std::ios::binary);
        out.write(reinterpret_cast<const char*>(head), 14);
        out.write(reinterpret_cast<const char*>(helper.displayData), std::streamsize(helper.displaySize));
    }
    const std::string command = std::string("/usr/bin/python3 -c \"import sys; from PIL import Image; "
                                            "open(sys.argv[2], 'wb').write(Image.open(sys.argv[1]).convert('") +
                                mode + "').tobytes())\" " + bmp + " " + raw;
    if (std::system(command.c_str()) != 0) {
        return {};
    }
    std::ifstream in(raw, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Loaded {
    XEVVEKHelper helper;
    FrameImageInfo* frame = nullptr;
    explicit Loaded(const char* name)
    {
        int32_t index = 0;
        EXPECT_EQ(helper.LoadImage(Fixture(name), index), 1) << helper.statusText.toStdString();
        frame = helper.GetFrame(0);
    }
    Dib Render()
    {
        EXPECT_EQ(helper.RenderToView(frame->Data(), frame->Size(), 0), 1);
        return ParseDib(helper.displayData, helper.displaySize);
    }
};

int16_t S16(const FrameImageInfo* frame, int32_t x, int32_t y, int32_t width)
{
    int16_t v;
    std::memcpy(&v, frame->Data() + (size_t(y) * width + x) * 2, 2);
    return v;
}

uint8_t Windowed(double v, double centre, double width)
{
    const double low = centre - width / 2;
    return uint8_t(std::clamp(std::floor((v - low) * (256.0 / width) + 0.5), 0.0, 255.0));
}

}   // namespace

TEST(RenderTest, CtWindowWithNearestNeighbourDoubling)
{
    Loaded ct("rle_ct_gdcm.dcm");
    ASSERT_NE(ct.frame, nullptr);
    ct.frame->SetWindow(40, 400, 1);
    ct.helper.scaleMode = 2;
    ct.helper.SetViewSize(1024, 1024);
    const Dib dib = ct.Render();
    EXPECT_EQ(dib.bitCount, 8);
    const std::vector<uint8_t> shown = PillowPixels(ct.helper, "L");
    ASSERT_EQ(shown.size(), 1024u * 1024u);
    int32_t wrong = 0;
    for (int32_t y = 0; y < 1024; ++y) {
        for (int32_t x = 0; x < 1024; ++x) {
            const double v = S16(ct.frame, x / 2, y / 2, 512);
            const uint8_t want = uint8_t(std::clamp(std::floor((v + 160) * 0.64 + 0.5), 0.0, 255.0));
            wrong += shown[size_t(y) * 1024 + x] != want;
        }
    }
    EXPECT_EQ(wrong, 0);
}

TEST(RenderTest, NarrowWindowMapsBeforeScalingWideAfter)
{
    for (const double width : {100.0, 256.0}) {
        Loaded ct("ct_s16.dcm");
        ASSERT_NE(ct.frame, nullptr);
        ct.frame->SetWindow(40, width, 1);
        ct.helper.scaleMode = 2;
        ct.helper.SetViewSize(32, 16);
        const Dib dib = ct.Render();
        ASSERT_EQ(dib.rows.size(), 16u);
        for (int32_t y = 0; y < 16; ++y) {
            for (int32_t x = 0; x < 32; ++x) {
                EXPECT_EQ(dib.rows[y][x], Windowed(S16(ct.frame, x / 2, y / 2, 16), 40, width)) << width;
            }
        }
    }
}

TEST(RenderTest, MonochromeOneIsInvertedAndTheFlagUndoesIt)
{
    Loaded m1("mono1.dcm");
    ASSERT_NE(m1.frame, nullptr);
    m1.frame->SetWindow(128, 256, 1);
    m1.helper.scaleMode = 0;
    const Dib inverted = m1.Render();
    m1.helper.invertFlag = 1;
    const Dib plain = m1.Render();
    ASSERT_EQ(inverted.rows.size(), 8u);
    ASSERT_EQ(plain.rows.size(), 8u);
    for (int32_t y = 0; y < 8; ++y) {
        for (int32_t x = 0; x < 16; ++x) {
            const uint8_t v = m1.frame->Data()[y * 16 + x];
            EXPECT_EQ(inverted.rows[y][x], 255 - v);
            EXPECT_EQ(plain.rows[y][x], v);
        }
    }
}

TEST(RenderTest, SmoothScalingOfSignedEdgeStaysBetweenTheSides)
{
    // A -1000 | +1000 edge, each side a constant: interpolation must not wrap.
    Loaded ct("ct_s16.dcm");
    ASSERT_NE(ct.frame, nullptr);
    for (int32_t y = 0; y < 8; ++y) {
        for (int32_t x = 0; x < 16; ++x) {
            const int16_t v = x < 8 ? -1000 : 1000;
            std::memcpy(ct.frame->Data() + (y * 16 + x) * 2, &v, 2);
        }
    }
    ct.frame->SetWindow(0, 4000, 1);
    ct.helper.scaleMode = 1;
    ct.helper.SetViewSize(64, 32);
    const Dib dib = ct.Render();
    ASSERT_EQ(dib.rows.size(), 32u);
    const uint8_t lo = Windowed(-1000, 0, 4000), hi = Windowed(1000, 0, 4000);
    for (const auto& row : dib.rows) {
        for (int32_t x = 0; x < 64; ++x) {
            EXPECT_GE(row[x], lo);
            EXPECT_LE(row[x], hi);
        }
        // Away from the edge each side keeps its own value through the shift and back.
        EXPECT_EQ(row[0], lo);
        EXPECT_EQ(row[63], hi);
    }
}

TEST(RenderTest, SmallSlopeRendersRealValues)
{
    Loaded small("small_slope.dcm");
    ASSERT_NE(small.frame, nullptr);
    // The value-range window is in real values: stored x 0.005 - 100 spans -100 .. -90.
    EXPECT_GT(small.frame->windowCenter, -100);
    EXPECT_LT(small.frame->windowCenter, -90);
    EXPECT_GT(small.frame->windowWidth, 5);
    EXPECT_LE(small.frame->windowWidth, 10.01);
    small.frame->SetWindow(-97.5, 5, 1);
    small.helper.scaleMode = 0;
    const Dib dib = small.Render();
    ASSERT_EQ(dib.rows.size(), 8u);
    for (int32_t y = 0; y < 8; ++y) {
        for (int32_t x = 0; x < 16; ++x) {
            const double real = (S16(small.frame, x, y, 16) + 100) * 0.01 - 100;   // memory 100 x real + 99 x 100
            EXPECT_NEAR(dib.rows[y][x], Windowed(real, -97.5, 5), 1) << x << "," << y;
        }
    }
}

TEST(RenderTest, NullSourceKeepsTheDisplayMemory)
{
    Loaded m1("mono1.dcm");
    ASSERT_NE(m1.frame, nullptr);
    m1.helper.scaleMode = 0;
    m1.Render();
    const uint8_t* before = m1.frame->displayBuffer.Data();
    ASSERT_NE(before, nullptr);
    EXPECT_EQ(m1.helper.RenderToView(nullptr, 0, 0), 1);
    EXPECT_EQ(m1.frame->displayBuffer.Data(), before);
    EXPECT_EQ(m1.helper.RenderToView(m1.frame->Data(), m1.frame->Size(), 7), 0);
}

// A render of the same size writes over the display memory it keeps: nothing of the previous
// bitmap may show through, and a new size gets its own memory.
TEST(RenderTest, RerenderOverwritesTheKeptDisplayMemory)
{
    Loaded ct("rle_ct_gdcm.dcm");
    ASSERT_NE(ct.frame, nullptr);
    ct.helper.scaleMode = 1;
    ct.helper.SetViewSize(300, 300);
    ct.frame->SetWindow(40, 400, 1);
    const Dib wide = ct.Render();
    const uint8_t* memory = ct.frame->displayBuffer.Data();
    ct.frame->SetWindow(40, 40, 1);
    const Dib narrow = ct.Render();
    EXPECT_EQ(ct.frame->displayBuffer.Data(), memory);
    EXPECT_NE(narrow.rows, wide.rows);
    ct.helper.SetViewSize(200, 100);
    EXPECT_EQ(ct.Render().rows.size(), 100u);
    ct.helper.SetViewSize(300, 300);
    ct.frame->SetWindow(40, 400, 1);
    EXPECT_EQ(ct.Render().rows, wide.rows);
    EXPECT_EQ(ct.helper.displaySize, ct.frame->displayBuffer.Size());
}

TEST(RenderTest, YbrFrameShowsAsRgb)
{
    Loaded ybr("ybr_422.dcm");
    ASSERT_NE(ybr.frame, nullptr);
    // Colour frames get the window of their bits: 128 / 256, no change of values.
    EXPECT_DOUBLE_EQ(ybr.frame->windowCenter, 128);
    EXPECT_DOUBLE_EQ(ybr.frame->windowWidth, 256);
    ybr.helper.scaleMode = 0;
    ybr.Render();
    const std::vector<uint8_t> shown = PillowPixels(ybr.helper, "RGB");
    const std::vector<uint8_t> rgb = ExpectedFrame("ybr_422.rgb", 0);
    ASSERT_EQ(rgb.size(), 6u * 8 * 3);
    ASSERT_EQ(shown.size(), rgb.size());
    int32_t worst = 0;
    for (size_t i = 0; i < rgb.size(); ++i) {
        worst = std::max(worst, std::abs(int32_t(shown[i]) - int32_t(rgb[i])));
    }
    EXPECT_LE(worst, 1);
}

// Window maps are kept between renders and shared by every image: each change of window,
// inversion or sample type must still give its own values, with and without smooth scaling.
TEST(RenderTest, KeptWindowMapsFollowEveryChange)
{
    Loaded ct("rle_ct_gdcm.dcm");
    ASSERT_NE(ct.frame, nullptr);
    ct.helper.SetViewSize(512, 512);
    struct Step {
        double centre;
        double width;
        int32_t invert;
        bool asUnsigned;
    };
    // 0/256 and 0/512 share their intercept and differ in slope only.
    const Step steps[] = {{40, 400, 0, false},   {40, 40, 0, false}, {40, 400, 0, false},    {40, 400, 1, false},
                          {40, 400, 0, false},   {0, 256, 0, false}, {0, 512, 0, false},     {-500, 3000, 1, false},
                          {1000, 2000, 0, true}, {40, 400, 0, true}, {1000, 2000, 0, false}, {40, 400, 0, false}};
    for (const int32_t scaleMode : {0, 1}) {
        ct.helper.scaleMode = scaleMode;
        for (const Step& step : steps) {
            ct.helper.header.data_type(step.asUnsigned ? VEK_DataType::u_integer : VEK_DataType::s_integer);
            ct.helper.invertFlag = step.invert;
            ct.frame->SetWindow(step.centre, step.width, 1);
            const Dib dib = ct.Render();
            ASSERT_EQ(dib.rows.size(), 512u);
            int32_t wrong = 0;
            for (int32_t y = 0; y < 512; ++y) {
                for (int32_t x = 0; x < 512; ++x) {
                    const int16_t s = S16(ct.frame, x, y, 512);
                    const double v = step.asUnsigned ? double(uint16_t(s)) : double(s);
                    const uint8_t windowed = Windowed(v, step.centre, step.width);
                    wrong += dib.rows[y][x] != (step.invert != 0 ? 255 - windowed : windowed);
                }
            }
            EXPECT_EQ(wrong, 0) << "scale mode " << scaleMode << ", window " << step.centre << "/" << step.width
                                << ", inverted " << step.invert << ", unsigned " << step.asUnsigned;
        }
    }
}
