#pragma once
// What vtupdate and vtpublish share on a terminal: one status line redrawn in place, at most
// ten times a second and never wider than the terminal, and the rate text such a line shows.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace vt {

// Writes Text to standard output at once (the reports must reach a pipe as they happen).
void WriteStdout(const std::string& Text);
// Writes Text to standard error.
void WriteStderr(const std::string& Text);

// What a tool writes to and reads from; tests put their own in.
struct TConsoleIo {
  using TClock = std::chrono::steady_clock;
  std::function<void(const std::string&)> Out = WriteStdout;
  std::function<void(const std::string&)> Err = WriteStderr;
  std::function<int()> Columns;  // the terminal's width; TerminalColumns when empty
  std::function<TClock::time_point()> Now = TClock::now;
  std::function<void(TClock::duration)> Sleep = [](TClock::duration Span) {
    std::this_thread::sleep_for(Span);
  };
};

// The columns a redrawn line may take on a terminal Columns wide: one stays free, as a line
// that fills the last one wraps on some terminals, and a wrapped line can no longer be redrawn.
size_t LineWidth(int Columns);

// One line on a terminal that each Show replaces. What it draws is cut to LineWidth between
// two characters (never inside one), with control characters and bytes that are not UTF-8
// shown as "?", so that no text can drive the terminal or wrap the line.
class TRedrawnLine {
 public:
  explicit TRedrawnLine(TConsoleIo Io = {});

  // The terminal's width now.
  int Columns() const { return FIo.Columns(); }
  // Makes Text the line: drawn at once when no line is open or the last was drawn 100 ms ago
  // or more, else kept for Tick, Keep or the next Show.
  void Show(const std::string& Text);
  // Draws a kept line whose turn has come.
  void Tick();
  // Draws a kept line, no sooner than its turn, and leaves the line on the screen.
  void Keep();
  // Clears the line (a kept one is dropped), so that what follows starts on an empty one.
  void Clear();

 private:
  using TClock = TConsoleIo::TClock;
  void Draw(TClock::time_point Now);

  TConsoleIo FIo;
  bool FOpen = false;
  std::string FPending;  // the newest line not drawn yet
  bool FHasPending = false;
  TClock::time_point FLastDraw{};
};

// "38.2 MB/s, 0:32 left" for a rate in bytes a second and the bytes still to come, the rate
// with Separator before its one decimal.
std::string RateText(double BytesPerSecond, int64_t Left, const std::string& Separator);

}  // namespace vt
