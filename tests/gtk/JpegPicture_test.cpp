// The background picture decoder: good pictures come back as RGB, and every damaged, foreign
// or oversized input is a plain false rather than an exit or a crash.

#include "shell/gtk/JpegPicture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <jpeglib.h>

namespace vt {
namespace {

// Encodes Width x Height pixels (Components 1 = grey, 3 = RGB) of a left-to-right ramp, with
// the top half red-ish, as a baseline JPEG at high quality.
std::vector<uint8_t> EncodeJpeg(int Width, int Height, int Components) {
  jpeg_compress_struct info;
  jpeg_error_mgr error;
  info.err = jpeg_std_error(&error);
  jpeg_create_compress(&info);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = Width;
  info.image_height = Height;
  info.input_components = Components;
  info.in_color_space = Components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 95, TRUE);
  jpeg_start_compress(&info, TRUE);
  std::vector<uint8_t> row(static_cast<size_t>(Width) * Components);
  while (info.next_scanline < info.image_height) {
    const bool top = info.next_scanline < info.image_height / 2;
    for (int x = 0; x < Width; ++x) {
      for (int c = 0; c < Components; ++c)
        row[x * Components + c] = static_cast<uint8_t>(c == 0 && top ? 230 : 40);
    }
    JSAMPROW rows = row.data();
    jpeg_write_scanlines(&info, &rows, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::vector<uint8_t> data(buffer, buffer + size);
  std::free(buffer);
  return data;
}

TEST(JpegPicture, DecodesRgbAndGreyIntoRgbRows) {
  TRgbPicture picture;
  ASSERT_TRUE(DecodeJpeg(EncodeJpeg(32, 16, 3), picture));
  EXPECT_EQ(picture.Width, 32);
  EXPECT_EQ(picture.Height, 16);
  ASSERT_EQ(picture.Pixels.size(), 32u * 16u * 3u);
  // Top left is red, bottom left dark: the rows are in order and the channels not swapped.
  EXPECT_NEAR(picture.Pixels[0], 230, 12);
  EXPECT_NEAR(picture.Pixels[1], 40, 12);
  const size_t bottom = (15u * 32u) * 3u;
  EXPECT_NEAR(picture.Pixels[bottom], 40, 12);

  ASSERT_TRUE(DecodeJpeg(EncodeJpeg(9, 7, 1), picture));
  EXPECT_EQ(picture.Width, 9);
  EXPECT_EQ(picture.Height, 7);
  ASSERT_EQ(picture.Pixels.size(), 9u * 7u * 3u);
  EXPECT_EQ(picture.Pixels[0], picture.Pixels[1]);  // grey comes back as equal channels
}

TEST(JpegPicture, DamagedOrForeignDataIsFalseAndLeavesNothing) {
  const std::vector<uint8_t> good = EncodeJpeg(64, 64, 3);
  TRgbPicture picture;
  const std::vector<std::vector<uint8_t>> bad = {
      {},
      {0xFF, 0xD8},                                           // start marker only
      {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0},    // another format
      std::vector<uint8_t>(good.begin(), good.begin() + 40),  // cut inside the headers
  };
  for (const auto& data : bad) {
    picture.Width = 5;
    EXPECT_FALSE(DecodeJpeg(data, picture)) << data.size() << " bytes";
    EXPECT_EQ(picture.Width, 0);
    EXPECT_TRUE(picture.Pixels.empty());
  }
}

// Finds the baseline frame header and sets its height field.
void SetFrameHeight(std::vector<uint8_t>& Data, int Height) {
  for (size_t i = 0; i + 8 < Data.size(); ++i) {
    if (Data[i] == 0xFF && Data[i + 1] == 0xC0) {
      Data[i + 5] = static_cast<uint8_t>(Height >> 8);
      Data[i + 6] = static_cast<uint8_t>(Height & 0xFF);
      return;
    }
  }
  FAIL() << "no frame header";
}

TEST(JpegPicture, RefusesPicturesLargerThanTheLimit) {
  std::vector<uint8_t> data = EncodeJpeg(16, 16, 3);
  SetFrameHeight(data, KMaxPictureSide + 1);
  TRgbPicture picture;
  EXPECT_FALSE(DecodeJpeg(data, picture));
  EXPECT_TRUE(picture.Pixels.empty());
}

TEST(JpegPicture, LoadsFilesAndFailsOnMissingOnes) {
  const auto dir =
      std::filesystem::temp_directory_path() /
      ("vt_jpeg_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
       std::to_string(std::rand()));
  std::filesystem::create_directories(dir);
  const std::vector<uint8_t> data = EncodeJpeg(20, 10, 3);
  const auto path = (dir / "background1.jpeg").string();
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  TRgbPicture picture;
  EXPECT_TRUE(LoadJpegFile(path, picture));
  EXPECT_EQ(picture.Width, 20);
  EXPECT_FALSE(LoadJpegFile((dir / "missing.jpeg").string(), picture));
  EXPECT_FALSE(LoadJpegFile(dir.string(), picture));  // a folder is not a picture
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vt
