#pragma once
// Runs a TCallQueue's calls on the Win32 main thread: WakeUp (any thread) posts one message at
// a time to a message-only window, whose handler runs every pending call.

#include <windows.h>

#include <atomic>

#include "update/CallQueue.h"

namespace vt {

class TWin32Waker {
 public:
  // Creates the message-only window on the calling thread, which must be the thread that runs
  // the message loop.
  explicit TWin32Waker(HINSTANCE Instance);
  ~TWin32Waker();
  TWin32Waker(const TWin32Waker&) = delete;
  TWin32Waker& operator=(const TWin32Waker&) = delete;

  // The queue whose calls run; set once, before anything is posted.
  void Attach(TCallQueue& Queue) { FQueue = &Queue; }
  // Any thread; never blocks.
  void WakeUp();

 private:
  static LRESULT CALLBACK WindowProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam);
  void RunQueue();

  HWND FWindow = nullptr;
  TCallQueue* FQueue = nullptr;
  std::atomic<bool> FPending{false};
  // A call that shows a message box pumps messages inside RunPending; a wake-up that arrives
  // then is kept for later rather than run inside the call.
  bool FRunning = false;
  bool FAgain = false;
};

}  // namespace vt
