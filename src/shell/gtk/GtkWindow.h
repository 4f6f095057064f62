#pragma once
// The launcher window over GTK 3: a fixed 720x405 window with the picture on top and a panel
// of status label, progress bar and buttons below. Main thread only.

#include <atomic>
#include <functional>
#include <string>

#include <gtk/gtk.h>

#include "shell/Controls.h"
#include "update/CallQueue.h"

namespace vt {

class TGtkLabel : public TLabelControl {
 public:
  explicit TGtkLabel(GtkWidget* Label) : FLabel(Label) {}
  void SetText(const std::string& Text) override;
  void SetTooltip(const std::string& Text) override;
  GtkWidget* Widget() const { return FLabel; }

 private:
  GtkWidget* FLabel;
};

class TGtkBar : public TBarControl {
 public:
  explicit TGtkBar(GtkWidget* Bar) : FBar(Bar) {}
  void SetPosition(int Position) override;
  GtkWidget* Widget() const { return FBar; }

 private:
  GtkWidget* FBar;
};

class TGtkButton : public TButtonControl {
 public:
  // Connects to Button's "clicked" signal; the button must not outlive this object's owner.
  explicit TGtkButton(GtkWidget* Button);
  void SetVisible(bool Visible) override;
  void OnClick(std::function<void()> Click) override;
  GtkWidget* Widget() const { return FButton; }

 private:
  static void Clicked(GtkButton*, gpointer Self);
  GtkWidget* FButton;
  std::function<void()> FClick;
};

class TGtkWindow : public TWindowControl {
 public:
  // Builds the window, centred and shown. gtk_init must have run.
  TGtkWindow();
  ~TGtkWindow() override;
  TGtkWindow(const TGtkWindow&) = delete;
  TGtkWindow& operator=(const TGtkWindow&) = delete;

  TLabelControl& Status() override { return FStatus; }
  TBarControl& Bar() override { return FBar; }
  TButtonControl& PlayButton() override { return FPlay; }
  TButtonControl& RetryButton() override { return FRetry; }
  TButtonControl& QuitButton() override { return FQuit; }
  bool LoadPicture(const std::string& JpegPath) override;
  // Hides the window and ends gtk_main once the current call returns.
  void Close() override;

  bool Closed() const { return FClosed; }
  // What the close box does instead of destroying the window; empty means Close().
  void OnCloseBox(std::function<void()> CloseBox) { FCloseBox = std::move(CloseBox); }
  // The status line as shown.
  std::string StatusText() const;

 private:
  static gboolean DeleteEvent(GtkWidget*, GdkEvent*, gpointer Self);
  // Sizes the status line to the room the shown buttons leave it.
  static void FitStatus(gpointer Self);

  GtkWidget* FWindow = nullptr;
  GtkWidget* FPicture = nullptr;
  TGtkLabel FStatus;
  TGtkBar FBar;
  TGtkButton FPlay;
  TGtkButton FRetry;
  TGtkButton FQuit;
  std::function<void()> FCloseBox;
  bool FClosed = false;
};

// Runs a TCallQueue's calls on the GTK main thread: WakeUp (any thread) schedules one idle
// call at a time, which runs every pending call. Must outlive the loop's last iteration.
class TGtkWaker {
 public:
  // The queue whose calls run; set once, before anything is posted.
  void Attach(TCallQueue& Queue) { FQueue = &Queue; }
  void WakeUp();

 private:
  static gboolean RunIdle(gpointer Self);
  TCallQueue* FQueue = nullptr;
  std::atomic<bool> FPending{false};
};

}  // namespace vt
