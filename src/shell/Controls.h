#pragma once
// The few things the launcher window's logic needs from a toolkit. The GTK and Win32 windows
// implement them; tests use fakes, so the logic runs without a display.

#include <functional>
#include <string>
#include <vector>

#include "platform/Process.h"

namespace vt {

class TLabelControl {
 public:
  virtual ~TLabelControl() = default;
  virtual void SetText(const std::string& Text) = 0;
  // Shows Text when the pointer rests on the label; an empty text means no tooltip.
  virtual void SetTooltip(const std::string& Text) = 0;
};

class TBarControl {
 public:
  virtual ~TBarControl() = default;
  // Position from 0 to 1000.
  virtual void SetPosition(int Position) = 0;
};

class TButtonControl {
 public:
  virtual ~TButtonControl() = default;
  virtual void SetVisible(bool Visible) = 0;
  // Click runs on the main thread; an empty Click removes the previous one.
  virtual void OnClick(std::function<void()> Click) = 0;
};

// The window itself: its controls, its picture, and closing it.
class TWindowControl {
 public:
  virtual ~TWindowControl() = default;
  virtual TLabelControl& Status() = 0;
  virtual TBarControl& Bar() = 0;
  virtual TButtonControl& PlayButton() = 0;
  virtual TButtonControl& RetryButton() = 0;
  virtual TButtonControl& QuitButton() = 0;
  // Shows the JPEG file stretched over the picture area; false (and nothing shown) when it
  // cannot be read or decoded.
  virtual bool LoadPicture(const std::string& JpegPath) = 0;
  // Closes the window; the program's loop ends after the current call.
  virtual void Close() = 0;
};

// Starts other programs, detached and never waited for. Tests replace it.
class TProgramStarter {
 public:
  virtual ~TProgramStarter() = default;
  virtual void Start(const std::string& File, const std::vector<std::string>& Params,
                     const std::string& WorkDir, TParamText Form) = 0;
};

}  // namespace vt
