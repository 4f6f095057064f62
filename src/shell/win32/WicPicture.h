#pragma once
// Pictures through the Windows Imaging Component: decoding a file (JPEG and whatever else WIC
// knows) to 32-bit BGRA rows, and scaling them with a smoothing filter.

#include <cstdint>
#include <string>
#include <vector>

namespace vt {

// Top-down rows of 4 bytes per pixel (blue, green, red, alpha), no padding between rows.
struct TBgraPicture {
  int Width = 0;
  int Height = 0;
  std::vector<uint8_t> Pixels;
};

// The largest picture decoded, in pixels: a damaged or hostile header must not make us reserve
// gigabytes.
constexpr int64_t KMaxPicturePixels = 64LL * 1024 * 1024;

// Decodes the first frame of the file at Path (UTF-8). False, with Picture untouched, when the
// file cannot be read or decoded or is larger than KMaxPicturePixels. The calling thread must
// be in a COM apartment.
bool DecodePicture(const std::string& Path, TBgraPicture& Picture);

// Source scaled to Width x Height (both at least 1), aspect ratio not kept. False when WIC
// fails. The calling thread must be in a COM apartment.
bool ScalePicture(const TBgraPicture& Source, int Width, int Height, TBgraPicture& Scaled);

}  // namespace vt
