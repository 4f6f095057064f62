#pragma once
// File access behind one small interface, so the engine holds no OS handles.

#include <cstddef>
#include <cstdint>
#include <string>

namespace vt {

// The local path separator ("/" on Linux, "\" on Windows).
extern const char KPathSeparator;

// An open file with one owner; closed by its destructor on every path.
class TFile {
 public:
  // Open for reading, others may read and write meanwhile. Raises std::runtime_error
  // "<path>: <system text>" when it cannot be opened.
  static TFile OpenRead(const std::string& Path);
  // Create for writing, truncating an existing file. Raises like OpenRead.
  static TFile Create(const std::string& Path);

  TFile(TFile&& Other) noexcept;
  TFile& operator=(TFile&& Other) noexcept;
  TFile(const TFile&) = delete;
  TFile& operator=(const TFile&) = delete;
  ~TFile();

  // Up to Size bytes; 0 only at the end of the file. Raises on a read error.
  size_t Read(void* Buffer, size_t Size);
  // All Size bytes, or raises.
  void Write(const void* Data, size_t Size);
  // Closes now and reports a failure that the destructor would have to swallow.
  void Close();

 private:
  TFile(intptr_t Handle, std::string Path);

  intptr_t FHandle;
  std::string FPath;
};

}  // namespace vt
