#pragma once
// Decoding the window's background picture. Kept apart from the toolkit so that a damaged or
// hostile file fails here with a plain false, never by ending the program.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vt {

struct TRgbPicture {
  int Width = 0;
  int Height = 0;
  std::vector<uint8_t> Pixels;  // Width * Height * 3 bytes, rows top to bottom, no padding
};

// Largest side accepted, so that a crafted header cannot ask for gigabytes.
constexpr int KMaxPictureSide = 8192;
// Largest file read, for the same reason.
constexpr size_t KMaxPictureFileSize = 64u << 20;

// Decodes the JPEG data into 8-bit RGB; false (Picture left empty) when the data is not a
// JPEG libjpeg can turn into RGB, is truncated or damaged, or is larger than KMaxPictureSide.
bool DecodeJpeg(const std::vector<uint8_t>& Data, TRgbPicture& Picture);

// Reads and decodes the file; false when it cannot be read (a folder, missing, larger than
// KMaxPictureFileSize) or decoded.
bool LoadJpegFile(const std::string& Path, TRgbPicture& Picture);

}  // namespace vt
