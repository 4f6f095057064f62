#pragma once
// The launcher's controls over plain Win32 child windows. They do not own their windows: the
// launcher window creates them, lays them out and destroys them with itself. Main thread only.

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <functional>
#include <string>
#include <string_view>

#include "shell/Controls.h"

namespace vt {

// Count, or one less where Count would split a surrogate pair: the longest start of Text of at
// most Count UTF-16 units that ends on a whole character.
constexpr size_t WholeCharacters(std::wstring_view Text, size_t Count) {
  if (Count >= Text.size())
    return Text.size();
  if (Count > 0 && Text[Count - 1] >= 0xD800 && Text[Count - 1] <= 0xDBFF)
    return Count - 1;
  return Count;
}

// Text as it fits Width pixels in Dc's font: whole, or its longest start of whole characters
// that fits with an ellipsis after it.
std::wstring FittedText(HDC Dc, std::wstring_view Text, int Width);

// An owner-drawn STATIC label (SS_OWNERDRAW) on the panel: as wide as its text, at most its
// given width, one line ending in an ellipsis where the text is longer; with an optional
// tooltip.
class TWin32Label : public TLabelControl {
 public:
  void Attach(HWND Label, HWND Tooltip);
  void SetText(const std::string& Text) override;
  void SetTooltip(const std::string& Text) override;
  // Sets the font and the largest width; resizes the label to its text.
  void Fit(HFONT Font, int MaxWidth, int Height);
  // Paints the label for its parent's WM_DRAWITEM: Back under Colour text.
  void Draw(const DRAWITEMSTRUCT& Item, COLORREF Colour, HBRUSH Back) const;
  HWND Handle() const { return FLabel; }

 private:
  void Resize();
  TOOLINFOW ToolInfo(const wchar_t* Text) const;

  HWND FLabel = nullptr;
  HWND FTooltip = nullptr;
  HFONT FFont = nullptr;
  int FMaxWidth = 0;
  int FHeight = 0;
  std::wstring FTip;
  bool FHasTool = false;
};

// A smooth progress bar with the range 0 to 1000, in the accent colour on a dark trough (the
// visual style, which would ignore both colours, is turned off for it).
class TWin32Bar : public TBarControl {
 public:
  void Attach(HWND Bar);
  void SetPosition(int Position) override;
  HWND Handle() const { return FBar; }

 private:
  HWND FBar = nullptr;
};

// An owner-drawn push button (BS_OWNERDRAW) that the parent paints with Draw, in the panel's
// colours: the system's light button would clash with the dark panel.
class TWin32Button : public TButtonControl {
 public:
  TWin32Button() = default;
  TWin32Button(const TWin32Button&) = delete;
  TWin32Button& operator=(const TWin32Button&) = delete;
  // Follows the pointer over Button, for the hover look.
  void Attach(HWND Button);
  void SetVisible(bool Visible) override;
  void OnClick(std::function<void()> Click) override { FClick = std::move(Click); }
  // Runs after each SetVisible: the window lays out what sits beside the button.
  void OnVisibilityChange(std::function<void()> Changed) { FVisibilityChange = std::move(Changed); }
  // Runs the click handler, with any error it raises shown in a message box.
  void Clicked();
  bool Shown() const;
  // Paints the button for its parent's WM_DRAWITEM: Back shows at its rounded corners.
  void Draw(const DRAWITEMSTRUCT& Item, HBRUSH Back, int Radius) const;
  HWND Handle() const { return FButton; }

 private:
  static LRESULT CALLBACK HoverProc(HWND Button, UINT Message, WPARAM WParam, LPARAM LParam,
                                    UINT_PTR Id, DWORD_PTR Self);
  HWND FButton = nullptr;
  bool FHot = false;
  std::function<void()> FClick;
  std::function<void()> FVisibilityChange;
};

}  // namespace vt
