#pragma once
// The launcher panel's layout at 96 DPI, shared by the GTK and Win32 windows: where the bar and
// the buttons sit, and how wide the status line may be beside the buttons that are shown.

#include <algorithm>
#include <initializer_list>

namespace vt {

// Left, top, width, height in the panel's client area.
struct TBox {
  int Left, Top, Width, Height;
  constexpr int Right() const { return Left + Width; }
  constexpr int Bottom() const { return Top + Height; }
};

constexpr int KPanelWidth = 720;
constexpr int KPanelHeight = 84;
// The panel's margin at its left and right edges, and the gap kept before a button.
constexpr int KPanelMargin = 16;
constexpr int KButtonGap = 20;

constexpr TBox KBarBox{16, 44, 440, 18};
constexpr TBox KPlayBox{476, 12, 110, 30};
constexpr TBox KRetryBox{476, 46, 110, 30};
constexpr TBox KQuitBox{596, 12, 108, 30};

struct TButtonPlace {
  TBox Box;
  bool Shown;
};

// The status line's width when it starts at Status.Left: up to the gap before the leftmost shown
// button that shares its rows, or to the panel's right margin when none does. A hidden button
// leaves its place to the text.
constexpr int StatusWidth(const TBox& Status, std::initializer_list<TButtonPlace> Buttons) {
  int right = KPanelWidth - KPanelMargin;
  for (const TButtonPlace& button : Buttons) {
    const bool besideIt = button.Box.Top < Status.Bottom() && Status.Top < button.Box.Bottom();
    if (button.Shown && besideIt && button.Box.Left >= Status.Left)
      right = std::min(right, button.Box.Left - KButtonGap);
  }
  return std::max(0, right - Status.Left);
}

}  // namespace vt
