#include "shell/gtk/JpegPicture.h"

#include <csetjmp>
#include <cstdio>
#include <memory>

#include <jpeglib.h>

namespace vt {

namespace {

// libjpeg's default error handler calls exit(); this one jumps back to the decoder instead.
struct TJpegError {
  jpeg_error_mgr Manager;
  std::jmp_buf Jump;
};

void OnJpegError(j_common_ptr Info) {
  std::longjmp(reinterpret_cast<TJpegError*>(Info->err)->Jump, 1);
}

void OnJpegMessage(j_common_ptr) {
  // Warnings (e.g. extra bytes) are not worth a console line in a GUI program.
}

// Only plain C objects live in this frame, so the longjmp skips no destructor. Pixels is
// sized before any row is read and owned by the caller.
bool DecodeInto(const std::vector<uint8_t>& Data, TRgbPicture& Picture) {
  jpeg_decompress_struct info;
  TJpegError error;
  info.err = jpeg_std_error(&error.Manager);
  error.Manager.error_exit = OnJpegError;
  error.Manager.output_message = OnJpegMessage;
  if (setjmp(error.Jump)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, Data.data(), static_cast<unsigned long>(Data.size()));
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  if (info.output_components != 3 || info.output_width == 0 || info.output_height == 0 ||
      info.output_width > KMaxPictureSide || info.output_height > KMaxPictureSide) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  Picture.Width = static_cast<int>(info.output_width);
  Picture.Height = static_cast<int>(info.output_height);
  const size_t stride = static_cast<size_t>(Picture.Width) * 3;
  Picture.Pixels.resize(stride * static_cast<size_t>(Picture.Height));
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = Picture.Pixels.data() + stride * info.output_scanline;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

}  // namespace

bool DecodeJpeg(const std::vector<uint8_t>& Data, TRgbPicture& Picture) {
  Picture = {};
  if (Data.empty() || !DecodeInto(Data, Picture)) {
    Picture = {};
    return false;
  }
  return true;
}

bool LoadJpegFile(const std::string& Path, TRgbPicture& Picture) {
  Picture = {};
  // stdio rather than a stream: reading a folder or a failing disk is a plain error here.
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(Path.c_str(), "rb"),
                                                       &std::fclose);
  if (!file)
    return false;
  std::vector<uint8_t> data;
  uint8_t chunk[64 * 1024];
  size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
    if (data.size() + got > KMaxPictureFileSize)
      return false;
    data.insert(data.end(), chunk, chunk + got);
  }
  if (std::ferror(file.get()))
    return false;
  return DecodeJpeg(data, Picture);
}

}  // namespace vt
