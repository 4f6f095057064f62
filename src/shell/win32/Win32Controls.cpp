#include "shell/win32/Win32Controls.h"

#include <algorithm>
#include <utility>

#include "platform/WideWin32.h"
#include "shell/ErrorBox.h"

namespace vt {

namespace {

constexpr int KBarMax = 1000;

}  // namespace

void TWin32Label::Attach(HWND Label, HWND Tooltip) {
  FLabel = Label;
  FTooltip = Tooltip;
}

void TWin32Label::SetText(const std::string& Text) {
  SetWindowTextW(FLabel, Wide(Text).c_str());
  Resize();
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
  const int length = GetWindowTextLengthW(FLabel);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  GetWindowTextW(FLabel, text.data(), length + 1);
  SIZE extent{0, 0};
  if (HDC dc = GetDC(FLabel)) {
    HGDIOBJ old = SelectObject(dc, FFont);
    GetTextExtentPoint32W(dc, text.c_str(), length, &extent);
    SelectObject(dc, old);
    ReleaseDC(FLabel, dc);
  }
  // Never wider than its given width: a long error would otherwise run under the buttons. The
  // tooltip carries the whole text.
  const int width = std::min(static_cast<int>(extent.cx) + 1, FMaxWidth);
  SetWindowPos(FLabel, nullptr, 0, 0, width, std::max(static_cast<int>(extent.cy), FHeight),
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
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
  SendMessageW(FBar, PBM_SETRANGE32, 0, KBarMax);
  SendMessageW(FBar, PBM_SETPOS, 0, 0);
}

void TWin32Bar::SetPosition(int Position) {
  SendMessageW(FBar, PBM_SETPOS, static_cast<WPARAM>(std::clamp(Position, 0, KBarMax)), 0);
}

void TWin32Button::SetVisible(bool Visible) {
  ShowWindow(FButton, Visible ? SW_SHOWNA : SW_HIDE);
}

void TWin32Button::Clicked() {
  // A copy, so that a handler replacing itself does not destroy the function running it.
  auto click = FClick;
  if (click)
    RunGuarded(click);
}

}  // namespace vt
