#include "shell/win32/WicPicture.h"

#include <wincodec.h>
#include <windows.h>

#include <utility>

#include "platform/WideWin32.h"
#include "shell/win32/ComPtr.h"

namespace vt {

namespace {

TComPtr<IWICImagingFactory> CreateFactory() {
  TComPtr<IWICImagingFactory> factory;
  if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IWICImagingFactory, reinterpret_cast<void**>(factory.Receive()))))
    factory.Reset();
  return factory;
}

// Converts Source to 32bpp BGRA and copies its pixels out.
bool CopyAsBgra(IWICImagingFactory& Factory, IWICBitmapSource* Source, TBgraPicture& Picture) {
  TComPtr<IWICFormatConverter> converter;
  if (FAILED(Factory.CreateFormatConverter(converter.Receive())) ||
      FAILED(converter->Initialize(Source, GUID_WICPixelFormat32bppBGRA, WICBitmapDitherTypeNone,
                                   nullptr, 0.0, WICBitmapPaletteTypeCustom)))
    return false;
  UINT width = 0;
  UINT height = 0;
  if (FAILED(converter->GetSize(&width, &height)) || width == 0 || height == 0 ||
      static_cast<int64_t>(width) * height > KMaxPicturePixels)
    return false;
  TBgraPicture result;
  result.Width = static_cast<int>(width);
  result.Height = static_cast<int>(height);
  const UINT stride = width * 4;
  result.Pixels.resize(static_cast<size_t>(stride) * height);
  if (FAILED(converter->CopyPixels(nullptr, stride, static_cast<UINT>(result.Pixels.size()),
                                   result.Pixels.data())))
    return false;
  Picture = std::move(result);
  return true;
}

}  // namespace

bool DecodePicture(const std::string& Path, TBgraPicture& Picture) {
  TComPtr<IWICImagingFactory> factory = CreateFactory();
  if (!factory)
    return false;
  TComPtr<IWICBitmapDecoder> decoder;
  TComPtr<IWICBitmapFrameDecode> frame;
  if (FAILED(factory->CreateDecoderFromFilename(Wide(Path).c_str(), nullptr, GENERIC_READ,
                                                WICDecodeMetadataCacheOnDemand,
                                                decoder.Receive())) ||
      FAILED(decoder->GetFrame(0, frame.Receive())))
    return false;
  // Checked before the conversion allocates anything.
  UINT width = 0;
  UINT height = 0;
  if (FAILED(frame->GetSize(&width, &height)) ||
      static_cast<int64_t>(width) * height > KMaxPicturePixels)
    return false;
  return CopyAsBgra(*factory.Get(), frame.Get(), Picture);
}

bool ScalePicture(const TBgraPicture& Source, int Width, int Height, TBgraPicture& Scaled) {
  if (Source.Width <= 0 || Source.Height <= 0 || Width <= 0 || Height <= 0 ||
      static_cast<int64_t>(Width) * Height > KMaxPicturePixels)
    return false;
  TComPtr<IWICImagingFactory> factory = CreateFactory();
  if (!factory)
    return false;
  TComPtr<IWICBitmap> bitmap;
  TComPtr<IWICBitmapScaler> scaler;
  // WIC only reads the rows here, whatever the missing const says.
  auto* pixels = const_cast<BYTE*>(Source.Pixels.data());
  if (FAILED(factory->CreateBitmapFromMemory(
          static_cast<UINT>(Source.Width), static_cast<UINT>(Source.Height),
          GUID_WICPixelFormat32bppBGRA, static_cast<UINT>(Source.Width) * 4,
          static_cast<UINT>(Source.Pixels.size()), pixels, bitmap.Receive())) ||
      FAILED(factory->CreateBitmapScaler(scaler.Receive())) ||
      FAILED(scaler->Initialize(bitmap.Get(), static_cast<UINT>(Width), static_cast<UINT>(Height),
                                WICBitmapInterpolationModeFant)))
    return false;
  return CopyAsBgra(*factory.Get(), scaler.Get(), Scaled);
}

}  // namespace vt
