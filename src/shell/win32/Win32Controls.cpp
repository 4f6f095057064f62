#include "shell/win32/Win32Controls.h"

#include <uxtheme.h>

#include <algorithm>
#include <utility>

#include "platform/WideWin32.h"
#include "shell/ErrorBox.h"

namespace vt {

namespace {

constexpr int KBarMax = 1000;
constexpr COLORREF KBarColour = RGB(0x3D, 0x8F, 0xD6);
constexpr COLORREF KTroughColour = RGB(0x0C, 0x10, 0x14);
constexpr wchar_t KEllipsis = L'\u2026';

// A button's look in each state: the GTK window's translucent white (or, pressed, black) over
// the panel #182028, worked out to solid colours.
struct TButtonLook {
  COLORREF Fill, Border, Text;
};
constexpr TButtonLook KButtonNormal{RGB(0x2F, 0x36, 0x3E), RGB(0x4F, 0x56, 0x5C),
                                    RGB(0xE8, 0xED, 0xF2)};
constexpr TButtonLook KButtonHot{RGB(0x46, 0x4D, 0x53), RGB(0x74, 0x79, 0x7E),
                                 RGB(0xE8, 0xED, 0xF2)};
constexpr TButtonLook KButtonPressed{RGB(0x10, 0x15, 0x1A), KBarColour, RGB(0xE8, 0xED, 0xF2)};
constexpr TButtonLook KButtonDisabled{RGB(0x21, 0x29, 0x31), RGB(0x2F, 0x36, 0x3E),
                                      RGB(0x6B, 0x72, 0x79)};

std::wstring WindowText(HWND Window) {
  const int length = GetWindowTextLengthW(Window);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(Window, text.data(), length + 1)));
  return text;
}

}  // namespace

std::wstring FittedText(HDC Dc, std::wstring_view Text, int Width) {
  const int length = static_cast<int>(Text.size());
  int fit = 0;
  SIZE extent{};
  if (!GetTextExtentExPointW(Dc, Text.data(), length, Width, &fit, nullptr, &extent) ||
      fit >= length)
    return std::wstring(Text);
  SIZE dots{};
  GetTextExtentPoint32W(Dc, &KEllipsis, 1, &dots);
  fit = 0;
  GetTextExtentExPointW(Dc, Text.data(), length, std::max(0, Width - static_cast<int>(dots.cx)),
                        &fit, nullptr, &extent);
  std::wstring shown(Text.substr(0, WholeCharacters(Text, static_cast<size_t>(std::max(fit, 0)))));
  shown += KEllipsis;
  return shown;
}

void TWin32Label::Attach(HWND Label, HWND Tooltip) {
  FLabel = Label;
  FTooltip = Tooltip;
}

void TWin32Label::SetText(const std::string& Text) {
  SetWindowTextW(FLabel, Wide(Text).c_str());
  Resize();
  InvalidateRect(FLabel, nullptr, TRUE);
}

void TWin32Label::SetTooltip(const std::string& Text) {
  if (!FTooltip)
    return;
  FTip = Wide(Text);
  if (FTip.empty()) {
    if (FHasTool) {
      TOOLINFOW info = ToolInfo(nullptr);
      SendMessageW(FTooltip, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&info));
      FHasTool = false;
    }
    return;
  }
  TOOLINFOW info = ToolInfo(FTip.c_str());
  SendMessageW(FTooltip, FHasTool ? TTM_UPDATETIPTEXTW : TTM_ADDTOOLW, 0,
               reinterpret_cast<LPARAM>(&info));
  FHasTool = true;
}

void TWin32Label::Fit(HFONT Font, int MaxWidth, int Height) {
  FFont = Font;
  FMaxWidth = MaxWidth;
  FHeight = Height;
  SendMessageW(FLabel, WM_SETFONT, reinterpret_cast<WPARAM>(Font), TRUE);
  Resize();
}

void TWin32Label::Resize() {
  if (!FLabel || !FFont)
    return;
  const std::wstring text = WindowText(FLabel);
  SIZE extent{0, 0};
  if (HDC dc = GetDC(FLabel)) {
    HGDIOBJ old = SelectObject(dc, FFont);
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
    SelectObject(dc, old);
    ReleaseDC(FLabel, dc);
  }
  // Never wider than its given width: a long error would otherwise run under the buttons. The
  // tooltip carries the whole text.
  const int width = std::min(static_cast<int>(extent.cx) + 1, FMaxWidth);
  SetWindowPos(FLabel, nullptr, 0, 0, width, std::max(static_cast<int>(extent.cy), FHeight),
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TWin32Label::Draw(const DRAWITEMSTRUCT& Item, COLORREF Colour, HBRUSH Back) const {
  HDC dc = Item.hDC;
  RECT box = Item.rcItem;
  FillRect(dc, &box, Back);
  HGDIOBJ old = FFont ? SelectObject(dc, FFont) : nullptr;
  SetTextColor(dc, Colour);
  SetBkMode(dc, TRANSPARENT);
  const std::wstring shown = FittedText(dc, WindowText(FLabel), box.right - box.left);
  DrawTextW(dc, shown.c_str(), static_cast<int>(shown.size()), &box,
            DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX);
  if (old)
    SelectObject(dc, old);
}

TOOLINFOW TWin32Label::ToolInfo(const wchar_t* Text) const {
  TOOLINFOW info{};
  info.cbSize = sizeof(info);
  // The label itself is the tool: the tooltip follows it wherever and however large it is.
  info.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  info.hwnd = GetParent(FLabel);
  info.uId = reinterpret_cast<UINT_PTR>(FLabel);
  info.lpszText = const_cast<wchar_t*>(Text);
  return info;
}

void TWin32Bar::Attach(HWND Bar) {
  FBar = Bar;
  // No theme has a class named " ", so the bar draws classically, in the colours set below.
  SetWindowTheme(FBar, L" ", L" ");
  // Nor the classic sunken edge: the panel draws the trough's frame in its own colour.
  const LONG_PTR exStyle = GetWindowLongPtrW(FBar, GWL_EXSTYLE);
  SetWindowLongPtrW(FBar, GWL_EXSTYLE,
                    exStyle & ~static_cast<LONG_PTR>(WS_EX_STATICEDGE | WS_EX_CLIENTEDGE));
  SetWindowPos(FBar, nullptr, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
  SendMessageW(FBar, PBM_SETBARCOLOR, 0, static_cast<LPARAM>(KBarColour));
  SendMessageW(FBar, PBM_SETBKCOLOR, 0, static_cast<LPARAM>(KTroughColour));
  SendMessageW(FBar, PBM_SETRANGE32, 0, KBarMax);
  SendMessageW(FBar, PBM_SETPOS, 0, 0);
}

void TWin32Bar::SetPosition(int Position) {
  SendMessageW(FBar, PBM_SETPOS, static_cast<WPARAM>(std::clamp(Position, 0, KBarMax)), 0);
}

void TWin32Button::Attach(HWND Button) {
  FButton = Button;
  SetWindowSubclass(FButton, HoverProc, 0, reinterpret_cast<DWORD_PTR>(this));
}

void TWin32Button::SetVisible(bool Visible) {
  ShowWindow(FButton, Visible ? SW_SHOWNA : SW_HIDE);
  if (FVisibilityChange)
    FVisibilityChange();
}

bool TWin32Button::Shown() const {
  return (GetWindowLongPtrW(FButton, GWL_STYLE) & WS_VISIBLE) != 0;
}

void TWin32Button::Draw(const DRAWITEMSTRUCT& Item, HBRUSH Back, int Radius) const {
  HDC dc = Item.hDC;
  RECT box = Item.rcItem;
  const bool pressed = (Item.itemState & ODS_SELECTED) != 0;
  const TButtonLook& look = (Item.itemState & ODS_DISABLED) ? KButtonDisabled
                            : pressed                       ? KButtonPressed
                            : FHot                          ? KButtonHot
                                                            : KButtonNormal;
  FillRect(dc, &box, Back);
  HBRUSH fill = CreateSolidBrush(look.Fill);
  HPEN border = CreatePen(PS_SOLID, 1, look.Border);
  HGDIOBJ oldBrush = SelectObject(dc, fill);
  HGDIOBJ oldPen = SelectObject(dc, border);
  RoundRect(dc, box.left, box.top, box.right, box.bottom, Radius, Radius);
  SelectObject(dc, oldPen);
  SelectObject(dc, oldBrush);
  DeleteObject(border);
  DeleteObject(fill);

  const auto font = reinterpret_cast<HFONT>(SendMessageW(FButton, WM_GETFONT, 0, 0));
  HGDIOBJ oldFont = font ? SelectObject(dc, font) : nullptr;
  SetTextColor(dc, look.Text);
  SetBkMode(dc, TRANSPARENT);
  RECT text = box;
  if (pressed)
    OffsetRect(&text, 0, 1);
  const std::wstring caption = WindowText(FButton);
  DrawTextW(dc, caption.c_str(), static_cast<int>(caption.size()), &text,
            DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
  if (oldFont)
    SelectObject(dc, oldFont);
  if ((Item.itemState & ODS_FOCUS) && !(Item.itemState & ODS_NOFOCUSRECT)) {
    InflateRect(&box, -3, -3);
    DrawFocusRect(dc, &box);
  }
}

LRESULT CALLBACK TWin32Button::HoverProc(HWND Button, UINT Message, WPARAM WParam, LPARAM LParam,
                                         UINT_PTR, DWORD_PTR Self) {
  auto* self = reinterpret_cast<TWin32Button*>(Self);
  switch (Message) {
    case WM_MOUSEMOVE:
      if (!self->FHot) {
        self->FHot = true;
        TRACKMOUSEEVENT track{sizeof(track), TME_LEAVE, Button, 0};
        TrackMouseEvent(&track);
        InvalidateRect(Button, nullptr, FALSE);
      }
      break;
    case WM_MOUSELEAVE:
      self->FHot = false;
      InvalidateRect(Button, nullptr, FALSE);
      break;
    case WM_NCDESTROY:
      RemoveWindowSubclass(Button, HoverProc, 0);
      break;
    default:
      break;
  }
  return DefSubclassProc(Button, Message, WParam, LParam);
}

void TWin32Button::Clicked() {
  // A copy, so that a handler replacing itself does not destroy the function running it.
  auto click = FClick;
  if (click)
    RunGuarded(click);
}

}  // namespace vt
