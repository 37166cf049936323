#include <gtest/gtest.h>

#include "jpegpeer.h"
#include "vek_test_jpeg.h"

TEST(JpegReaders, BaselineAndLosslessEndToEnd) {
  VEK_TestManager m;
  const std::vector<uint8_t> grey = jpeg_fixture("cjpeg_grey.jpg");
  JpegRun r = read_jpeg(m, grey, JpegReader::jpeg);
  ASSERT_TRUE(r.made);
  EXPECT_EQ(r.pixels.size(), PeerDecode(grey).size());
  r = read_jpeg(m, jpeg_fixture("dcmtk_lossless_sv1_12.jpg"), JpegReader::lossless);
  ASSERT_TRUE(r.made);
  EXPECT_EQ(r.pixels, jpeg_fixture("dcmtk_lossless_sv1_12.raw"));
  EXPECT_EQ(m.memory_manager().live(), 3u);
}
