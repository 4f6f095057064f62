#include "shell/win32/Win32Window.h"

#include <commctrl.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "shell/ErrorBox.h"
#include "shell/PanelLayout.h"

namespace vt {

namespace {

constexpr const wchar_t* KTitle = L"Veltrano RPG";
constexpr const wchar_t* KWindowClass = L"VeltranoLauncherWindow";
constexpr const wchar_t* KPanelClass = L"VeltranoLauncherPanel";
// The program icon's resource number in vtlaunch.rc.
constexpr int KIconId = 1;

// A fixed frame with a system menu, close box and minimise box, but no maximise box.
constexpr DWORD KWindowStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD KWindowExStyle = WS_EX_APPWINDOW | WS_EX_CONTROLPARENT;

constexpr COLORREF KBackColour = RGB(0x10, 0x14, 0x18);
constexpr COLORREF KPanelColour = RGB(0x18, 0x20, 0x28);
constexpr COLORREF KStatusColour = RGB(0xF0, 0xF0, 0xF0);
constexpr COLORREF KTroughFrameColour = RGB(0x2C, 0x38, 0x44);
constexpr int KStatusPoints = 10;

// The layout at 96 DPI (the bar's and the buttons' boxes are the panel's, in PanelLayout.h).
constexpr int KClientWidth = 720;
constexpr int KClientHeight = 405;
// The picture fills what the panel leaves: its height is the panel's top.
constexpr TBox KPictureBox{0, 0, 720, 321};
constexpr TBox KPanelBox{0, 321, KPanelWidth, KPanelHeight};
// Its width follows the buttons shown beside it (StatusWidth).
constexpr TBox KStatusBox{16, 12, 440, 20};
// The buttons' corners, as round as the GTK window's.
constexpr int KButtonRadius = 8;
// Wide enough that a long error in the tooltip wraps into a few lines, not one across the
// screen.
constexpr int KTooltipWidth = 600;

enum : int { KStatusId = 100, KBarId, KPlayId, KRetryId, KQuitId };

struct TGdiDeleter {
  void operator()(void* Object) const { DeleteObject(static_cast<HGDIOBJ>(Object)); }
};
using TGdiOwner = std::unique_ptr<void, TGdiDeleter>;

HWND CreateChild(const wchar_t* Class, const wchar_t* Text, DWORD Style, HWND Parent, int Id,
                 HINSTANCE Instance) {
  HWND child =
      CreateWindowExW(0, Class, Text, WS_CHILD | Style, 0, 0, 0, 0, Parent,
                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(Id)), Instance, nullptr);
  if (!child)
    throw std::runtime_error("cannot create the launcher window's controls");
  return child;
}

void RegisterClasses(HINSTANCE Instance, WNDPROC WindowProc, WNDPROC PanelProc) {
  WNDCLASSEXW window{};
  window.cbSize = sizeof(window);
  window.lpfnWndProc = WindowProc;
  window.hInstance = Instance;
  window.hIcon = LoadIconW(Instance, MAKEINTRESOURCEW(KIconId));
  window.hIconSm = static_cast<HICON>(LoadImageW(Instance, MAKEINTRESOURCEW(KIconId), IMAGE_ICON,
                                                 GetSystemMetrics(SM_CXSMICON),
                                                 GetSystemMetrics(SM_CYSMICON), LR_SHARED));
  window.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window.lpszClassName = KWindowClass;
  WNDCLASSEXW panel{};
  panel.cbSize = sizeof(panel);
  panel.lpfnWndProc = PanelProc;
  panel.hInstance = Instance;
  panel.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  panel.lpszClassName = KPanelClass;
  // A second window in the same process finds the classes registered already.
  for (const WNDCLASSEXW* windowClass : {&window, &panel})
    if (!RegisterClassExW(windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
      throw std::runtime_error("cannot register the launcher window's class");
}

// The system's message font at Dpi: the typeface every control uses.
LOGFONTW MessageFont(UINT Dpi) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof(metrics);
  if (SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, Dpi))
    return metrics.lfMessageFont;
  LOGFONTW font{};
  font.lfHeight = -MulDiv(9, static_cast<int>(Dpi), 72);
  font.lfWeight = FW_NORMAL;
  font.lfCharSet = DEFAULT_CHARSET;
  font.lfQuality = CLEARTYPE_QUALITY;
  lstrcpynW(font.lfFaceName, L"Segoe UI", LF_FACESIZE);
  return font;
}

template <class T>
T* WindowObject(HWND Window, UINT Message, LPARAM LParam) {
  if (Message == WM_NCCREATE) {
    auto* object = static_cast<T*>(reinterpret_cast<CREATESTRUCTW*>(LParam)->lpCreateParams);
    SetWindowLongPtrW(Window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(object));
    return object;
  }
  return reinterpret_cast<T*>(GetWindowLongPtrW(Window, GWLP_USERDATA));
}

}  // namespace

// The GDI objects of one DPI, replaced whole when the DPI changes.
struct TWin32Window::TGdiObjects {
  TGdiOwner Ui;
  TGdiOwner Status;
  TGdiOwner BackBrush{CreateSolidBrush(KBackColour)};
  TGdiOwner PanelBrush{CreateSolidBrush(KPanelColour)};
  TGdiOwner TroughBrush{CreateSolidBrush(KTroughFrameColour)};

  explicit TGdiObjects(UINT Dpi) {
    LOGFONTW font = MessageFont(Dpi);
    Ui.reset(CreateFontIndirectW(&font));
    font.lfHeight = -MulDiv(KStatusPoints, static_cast<int>(Dpi), 72);
    Status.reset(CreateFontIndirectW(&font));
  }
  HFONT UiFont() const { return static_cast<HFONT>(Ui.get()); }
  HFONT StatusFont() const { return static_cast<HFONT>(Status.get()); }
  HBRUSH Back() const { return static_cast<HBRUSH>(BackBrush.get()); }
  HBRUSH Panel() const { return static_cast<HBRUSH>(PanelBrush.get()); }
  HBRUSH Trough() const { return static_cast<HBRUSH>(TroughBrush.get()); }
};

TWin32Window::TWin32Window(HINSTANCE Instance) : FInstance(Instance) {
  RegisterClasses(Instance, WindowProc, PanelProc);
  // Placed once its DPI is known, below.
  if (!CreateWindowExW(KWindowExStyle, KWindowClass, KTitle, KWindowStyle, CW_USEDEFAULT,
                       CW_USEDEFAULT, 0, 0, nullptr, nullptr, Instance, this))
    throw std::runtime_error("cannot create the launcher window");
  try {
    FDpi = GetDpiForWindow(FWindow);
    CreateControls();
    ApplyDpi();
    PlaceWindow(nullptr);
  } catch (...) {
    SetWindowLongPtrW(FWindow, GWLP_USERDATA, 0);
    DestroyWindow(FWindow);
    throw;
  }
  ShowWindow(FWindow, SW_SHOWNORMAL);
  UpdateWindow(FWindow);
}

TWin32Window::~TWin32Window() {
  // Detached first: the messages that destruction sends must not reach a half-destroyed object.
  SetWindowLongPtrW(FWindow, GWLP_USERDATA, 0);
  if (FPanel)
    SetWindowLongPtrW(FPanel, GWLP_USERDATA, 0);
  // Destroys the children and the tooltip, which it owns, too.
  DestroyWindow(FWindow);
}

bool TWin32Window::LoadPicture(const std::string& JpegPath) {
  TBgraPicture decoded;
  if (!DecodePicture(JpegPath, decoded))
    return false;
  FPicture = std::move(decoded);
  ScalePictureToDpi();
  InvalidateRect(FWindow, nullptr, FALSE);
  return true;
}

void TWin32Window::Close() {
  if (FClosed)
    return;
  FClosed = true;
  ShowWindow(FWindow, SW_HIDE);
  PostQuitMessage(0);
}

void TWin32Window::CreateControls() {
  FPanel = CreateWindowExW(WS_EX_CONTROLPARENT, KPanelClass, L"",
                           WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, 0, 0, 0, 0,
                           FWindow, nullptr, FInstance, this);
  if (!FPanel)
    throw std::runtime_error("cannot create the launcher window's controls");
  // SS_NOTIFY: a plain static lets the mouse through, and the tooltip would never see it.
  // Owner-drawn, so that a text too long for its room ends in an ellipsis after a whole
  // character.
  HWND status = CreateChild(L"STATIC", L"", WS_VISIBLE | SS_OWNERDRAW | SS_NOPREFIX | SS_NOTIFY,
                            FPanel, KStatusId, FInstance);
  FTooltip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                             WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                             CW_USEDEFAULT, CW_USEDEFAULT, FWindow, nullptr, FInstance, nullptr);
  FStatus.Attach(status, FTooltip);
  FBar.Attach(
      CreateChild(PROGRESS_CLASSW, nullptr, WS_VISIBLE | PBS_SMOOTH, FPanel, KBarId, FInstance));
  FPlay.Attach(CreateChild(L"BUTTON", L"Play anyway", WS_TABSTOP | BS_OWNERDRAW, FPanel, KPlayId,
                           FInstance));
  FRetry.Attach(
      CreateChild(L"BUTTON", L"Try again", WS_TABSTOP | BS_OWNERDRAW, FPanel, KRetryId, FInstance));
  FQuit.Attach(CreateChild(L"BUTTON", L"Quit", WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW, FPanel,
                           KQuitId, FInstance));
  for (TWin32Button* button : {&FPlay, &FRetry, &FQuit})
    button->OnVisibilityChange([this] {
      if (FGdi)
        FitStatus(FGdi->StatusFont());
    });
}

void TWin32Window::FitStatus(HFONT Font) {
  const int width = StatusWidth(
      KStatusBox,
      {{KPlayBox, FPlay.Shown()}, {KRetryBox, FRetry.Shown()}, {KQuitBox, FQuit.Shown()}});
  FStatus.Fit(Font, Scale(width), Scale(KStatusBox.Height));
  InvalidateRect(FStatus.Handle(), nullptr, TRUE);
}

int TWin32Window::Scale(int Pixels) const {
  return MulDiv(Pixels, static_cast<int>(FDpi), USER_DEFAULT_SCREEN_DPI);
}

RECT TWin32Window::BarTrough() const {
  return {Scale(KBarBox.Left), Scale(KBarBox.Top), Scale(KBarBox.Right()), Scale(KBarBox.Bottom())};
}

void TWin32Window::PlaceWindow(const RECT* Suggested) {
  RECT frame{0, 0, Scale(KClientWidth), Scale(KClientHeight)};
  AdjustWindowRectExForDpi(&frame, KWindowStyle, FALSE, KWindowExStyle, FDpi);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  POINT origin{};
  if (Suggested) {
    // Where the system wants the window on its new monitor; the size stays ours, since the
    // suggestion scales the frame too and the client area must stay exact.
    origin = {Suggested->left, Suggested->top};
  } else {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    GetMonitorInfoW(MonitorFromWindow(FWindow, MONITOR_DEFAULTTOPRIMARY), &monitor);
    const RECT& screen = monitor.rcMonitor;
    origin.x = screen.left + std::max(0L, (screen.right - screen.left - width) / 2);
    origin.y = screen.top + std::max(0L, (screen.bottom - screen.top - height) / 2);
  }
  SetWindowPos(FWindow, nullptr, origin.x, origin.y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

void TWin32Window::ApplyDpi() {
  auto gdi = std::make_unique<TGdiObjects>(FDpi);
  const auto place = [this](HWND Control, const TBox& Box) {
    SetWindowPos(Control, nullptr, Scale(Box.Left), Scale(Box.Top), Scale(Box.Width),
                 Scale(Box.Height), SWP_NOZORDER | SWP_NOACTIVATE);
  };
  // The panel reaches the bottom exactly, whatever the rounding of its own top and height.
  const int panelTop = Scale(KPanelBox.Top);
  SetWindowPos(FPanel, nullptr, 0, panelTop, Scale(KPanelBox.Width),
               Scale(KClientHeight) - panelTop, SWP_NOZORDER | SWP_NOACTIVATE);
  place(FStatus.Handle(), KStatusBox);
  // One pixel in from its box on every side, inside the trough's frame that the panel draws.
  const RECT trough = BarTrough();
  SetWindowPos(FBar.Handle(), nullptr, trough.left + 1, trough.top + 1,
               trough.right - trough.left - 2, trough.bottom - trough.top - 2,
               SWP_NOZORDER | SWP_NOACTIVATE);
  place(FPlay.Handle(), KPlayBox);
  place(FRetry.Handle(), KRetryBox);
  place(FQuit.Handle(), KQuitBox);
  FitStatus(gdi->StatusFont());
  for (const TWin32Button* button : {&FPlay, &FRetry, &FQuit})
    SendMessageW(button->Handle(), WM_SETFONT, reinterpret_cast<WPARAM>(gdi->UiFont()), TRUE);
  if (FTooltip)
    SendMessageW(FTooltip, TTM_SETMAXTIPWIDTH, 0, Scale(KTooltipWidth));
  // The controls use the new fonts now; the old ones may go.
  FGdi = std::move(gdi);
  ScalePictureToDpi();
  InvalidateRect(FWindow, nullptr, TRUE);
  // The panel too, whole: the trough's frame it draws has moved.
  InvalidateRect(FPanel, nullptr, TRUE);
}

void TWin32Window::ScalePictureToDpi() {
  FShown = {};
  if (!FPicture.Pixels.empty())
    ScalePicture(FPicture, Scale(KPictureBox.Width), Scale(KPictureBox.Height), FShown);
}

void TWin32Window::Paint() {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(FWindow, &paint);
  const TBgraPicture& shown = FShown.Pixels.empty() ? FPicture : FShown;
  // Everything above the panel (the picture box ends where the panel begins).
  const RECT area{0, 0, Scale(KPictureBox.Width), Scale(KPictureBox.Height)};
  if (!shown.Pixels.empty()) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = shown.Width;
    info.bmiHeader.biHeight = -shown.Height;  // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    // Already at the area's size unless scaling failed; then GDI stretches the decoded rows.
    SetStretchBltMode(dc, HALFTONE);
    SetBrushOrgEx(dc, 0, 0, nullptr);
    StretchDIBits(dc, area.left, area.top, area.right - area.left, area.bottom - area.top, 0, 0,
                  shown.Width, shown.Height, shown.Pixels.data(), &info, DIB_RGB_COLORS, SRCCOPY);
    ExcludeClipRect(dc, area.left, area.top, area.right, area.bottom);
  }
  RECT client;
  GetClientRect(FWindow, &client);
  if (FGdi)
    FillRect(dc, &client, FGdi->Back());
  EndPaint(FWindow, &paint);
}

LRESULT CALLBACK TWin32Window::WindowProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam) {
  auto* self = WindowObject<TWin32Window>(Window, Message, LParam);
  if (!self)
    return DefWindowProcW(Window, Message, WParam, LParam);
  if (Message == WM_NCCREATE)
    self->FWindow = Window;
  return self->HandleWindow(Message, WParam, LParam);
}

LRESULT TWin32Window::HandleWindow(UINT Message, WPARAM WParam, LPARAM LParam) {
  switch (Message) {
    case WM_ERASEBKGND:
      return 1;  // WM_PAINT covers every pixel
    case WM_PAINT:
      Paint();
      return 0;
    case WM_CLOSE:
      // The close box does what "Quit" does; the window itself goes with its owner.
      RunGuarded([this] {
        auto closeBox = FCloseBox;
        if (closeBox)
          closeBox();
        else
          Close();
      });
      return 0;
    case WM_DPICHANGED:
      FDpi = HIWORD(WParam);
      ApplyDpi();
      PlaceWindow(reinterpret_cast<const RECT*>(LParam));
      return 0;
    default:
      return DefWindowProcW(FWindow, Message, WParam, LParam);
  }
}

LRESULT CALLBACK TWin32Window::PanelProc(HWND Panel, UINT Message, WPARAM WParam, LPARAM LParam) {
  auto* self = WindowObject<TWin32Window>(Panel, Message, LParam);
  if (!self || Message == WM_NCCREATE)
    return DefWindowProcW(Panel, Message, WParam, LParam);
  return self->HandlePanel(Message, WParam, LParam);
}

LRESULT TWin32Window::HandlePanel(UINT Message, WPARAM WParam, LPARAM LParam) {
  switch (Message) {
    case WM_ERASEBKGND:
      if (FGdi) {
        RECT client;
        GetClientRect(FPanel, &client);
        const auto dc = reinterpret_cast<HDC>(WParam);
        FillRect(dc, &client, FGdi->Panel());
        // The trough's 1-pixel frame, around the bar that sits inside its box.
        const RECT trough = BarTrough();
        FrameRect(dc, &trough, FGdi->Trough());
        return 1;
      }
      break;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
      // Whatever the controls paint before their own drawing is the panel.
      if (FGdi) {
        auto dc = reinterpret_cast<HDC>(WParam);
        SetTextColor(dc, KStatusColour);
        SetBkMode(dc, TRANSPARENT);
        return reinterpret_cast<LRESULT>(FGdi->Panel());
      }
      break;
    case WM_DRAWITEM:
      if (FGdi) {
        const auto& item = *reinterpret_cast<const DRAWITEMSTRUCT*>(LParam);
        if (item.hwndItem == FStatus.Handle()) {
          FStatus.Draw(item, KStatusColour, FGdi->Panel());
          return TRUE;
        }
        for (const TWin32Button* button : {&FPlay, &FRetry, &FQuit})
          if (item.hwndItem == button->Handle()) {
            button->Draw(item, FGdi->Panel(), Scale(KButtonRadius));
            return TRUE;
          }
      }
      break;
    case WM_COMMAND:
      if (HIWORD(WParam) == BN_CLICKED) {
        const auto from = reinterpret_cast<HWND>(LParam);
        for (TWin32Button* button : {&FPlay, &FRetry, &FQuit})
          if (button->Handle() == from)
            button->Clicked();
        return 0;
      }
      break;
    default:
      break;
  }
  return DefWindowProcW(FPanel, Message, WParam, LParam);
}

}  // namespace vt
