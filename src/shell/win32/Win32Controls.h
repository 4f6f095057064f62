#pragma once
// The launcher's controls over plain Win32 child windows. They do not own their windows: the
// launcher window creates them, lays them out and destroys them with itself. Main thread only.

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <functional>
#include <string>

#include "shell/Controls.h"

namespace vt {

// A STATIC label that draws no background and is as wide as its text (at most its given
// width), with an optional tooltip.
class TWin32Label : public TLabelControl {
 public:
  void Attach(HWND Label, HWND Tooltip);
  void SetText(const std::string& Text) override;
  void SetTooltip(const std::string& Text) override;
  // Sets the font and the largest width; resizes the label to its text.
  void Fit(HFONT Font, int MaxWidth, int Height);
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

// A progress bar with the range 0 to 1000.
class TWin32Bar : public TBarControl {
 public:
  void Attach(HWND Bar);
  void SetPosition(int Position) override;
  HWND Handle() const { return FBar; }

 private:
  HWND FBar = nullptr;
};

class TWin32Button : public TButtonControl {
 public:
  void Attach(HWND Button) { FButton = Button; }
  void SetVisible(bool Visible) override;
  void OnClick(std::function<void()> Click) override { FClick = std::move(Click); }
  // Runs the click handler, with any error it raises shown in a message box.
  void Clicked();
  HWND Handle() const { return FButton; }

 private:
  HWND FButton = nullptr;
  std::function<void()> FClick;
};

}  // namespace vt
