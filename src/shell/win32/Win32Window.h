#pragma once
// The launcher window over plain Win32 and common controls 6: a fixed 720x405 client area (at
// 96 DPI, scaled per monitor) with the picture on top and a panel of status label, progress
// bar and buttons below. Main thread only.

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "shell/Controls.h"
#include "shell/win32/WicPicture.h"
#include "shell/win32/Win32Controls.h"

namespace vt {

class TWin32Window : public TWindowControl {
 public:
  // Builds the window centred on its monitor and shows it. Common controls must have been
  // initialised and the thread must be in a COM apartment (for the picture).
  explicit TWin32Window(HINSTANCE Instance);
  ~TWin32Window() override;
  TWin32Window(const TWin32Window&) = delete;
  TWin32Window& operator=(const TWin32Window&) = delete;

  TLabelControl& Status() override { return FStatus; }
  TBarControl& Bar() override { return FBar; }
  TButtonControl& PlayButton() override { return FPlay; }
  TButtonControl& RetryButton() override { return FRetry; }
  TButtonControl& QuitButton() override { return FQuit; }
  bool LoadPicture(const std::string& JpegPath) override;
  // Hides the window and ends the message loop once the current message is handled.
  void Close() override;

  bool Closed() const { return FClosed; }
  HWND Handle() const { return FWindow; }
  // What the close box does instead of destroying the window; empty means Close().
  void OnCloseBox(std::function<void()> CloseBox) { FCloseBox = std::move(CloseBox); }

 private:
  struct TGdiObjects;

  static LRESULT CALLBACK WindowProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam);
  static LRESULT CALLBACK PanelProc(HWND Panel, UINT Message, WPARAM WParam, LPARAM LParam);
  LRESULT HandleWindow(UINT Message, WPARAM WParam, LPARAM LParam);
  LRESULT HandlePanel(UINT Message, WPARAM WParam, LPARAM LParam);

  void CreateControls();
  void PlaceWindow(const RECT* Suggested);
  void ApplyDpi();
  // Sizes the status line to the room the shown buttons leave it, in Font.
  void FitStatus(HFONT Font);
  void ScalePictureToDpi();
  void Paint();
  void PaintPanel(HDC Dc);
  int Scale(int Pixels) const;
  // The bar's box at the window's DPI: the trough's frame, with the bar one pixel inside it.
  RECT BarTrough() const;

  HINSTANCE FInstance;
  HWND FWindow = nullptr;
  HWND FPanel = nullptr;
  HWND FTooltip = nullptr;
  UINT FDpi = USER_DEFAULT_SCREEN_DPI;
  std::unique_ptr<TGdiObjects> FGdi;
  TWin32Label FStatus;
  TWin32Bar FBar;
  TWin32Button FPlay;
  TWin32Button FRetry;
  TWin32Button FQuit;
  TBgraPicture FPicture;  // as decoded
  TBgraPicture FShown;    // scaled to the picture area at the current DPI
  std::function<void()> FCloseBox;
  bool FClosed = false;
};

}  // namespace vt
