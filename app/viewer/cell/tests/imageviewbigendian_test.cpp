// One-bit frames of a big-endian file, written at test time by pydicom and dcmconv, painted by
// a cell as the array they were made from.

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "plat_temp_folder.h"
#include "testsupport/viewtestsupport.h"

// Each of the three 5 x 37 frames at zoom 1: every sample white for 1 and black for 0.
// Rows cross 16-bit word ends and frames 1 and 2 start inside a word, where swapped halves
// would show.
TEST(ImageViewPaint, OneBitBigEndianFramesPaintAsTheirArray)
{
    PlatTempFolder temp;
    const std::string command = "/usr/bin/python3 " VIEWCTRL_TEST_DATA_DIR "/write_onebit_bigendian.py " + temp.Path();
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream raw(temp.Path() + "/onebit.raw", std::ios::binary);
    const std::vector<uint8_t> pixels((std::istreambuf_iterator<char>(raw)), std::istreambuf_iterator<char>());
    constexpr int kRows = 5, kColumns = 37;
    ASSERT_EQ(pixels.size(), size_t(3 * kRows * kColumns));

    ImageInfo image;
    image.SetFilePath(QString::fromStdString(temp.Path() + "/onebit_be.dcm"));
    DecodeImage(&image);
    ASSERT_NE(image.GetHelper(), nullptr);
    ASSERT_EQ(image.GetHelper()->statusCode, 0) << image.GetHelper()->statusText.toStdString();
    MessageLog parent;
    parent.resize(120, 60);
    XEVImageViewCtrl view(&parent, 9001);
    view.setGeometry(0, 0, 100, 40);
    view.cornerTextsShown = 0;
    view.SetImages({&image});
    view.SetupFirstImage();
    // Fitted at the first paint, then shown at zoom 1.
    Grab(view);
    view.zoomMode = XEVImageViewCtrl::kZoomed;
    view.zoomed = 1;
    view.baseScale = 1.0;
    for (int k = 0; k < 3; ++k) {
        view.currentFrame = k;
        view.update();
        const QImage painted = Grab(view);
        ASSERT_EQ(view.destination.size(), QSize(kColumns, kRows)) << "frame " << k;
        int wrong = 0;
        for (int y = 0; y < kRows; ++y) {
            for (int x = 0; x < kColumns; ++x) {
                const int expected = pixels[size_t((k * kRows + y) * kColumns + x)] != 0 ? 255 : 0;
                wrong += Gray(painted, view.destination.x() + x, view.destination.y() + y) != expected ? 1 : 0;
            }
        }
        EXPECT_EQ(wrong, 0) << "frame " << k;
    }
}
