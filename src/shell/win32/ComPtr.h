#pragma once
// The one owner of a COM interface pointer: released when it goes.

#include <objbase.h>
#include <unknwn.h>

#include <utility>

namespace vt {

template <class T>
class TComPtr {
 public:
  TComPtr() = default;
  ~TComPtr() { Reset(); }
  TComPtr(TComPtr&& Other) noexcept : FPtr(std::exchange(Other.FPtr, nullptr)) {}
  TComPtr& operator=(TComPtr&& Other) noexcept {
    if (this != &Other) {
      Reset();
      FPtr = std::exchange(Other.FPtr, nullptr);
    }
    return *this;
  }
  TComPtr(const TComPtr&) = delete;
  TComPtr& operator=(const TComPtr&) = delete;

  T* Get() const { return FPtr; }
  T* operator->() const { return FPtr; }
  explicit operator bool() const { return FPtr != nullptr; }
  // For the out-parameter of a creating call; releases what was held before.
  T** Receive() {
    Reset();
    return &FPtr;
  }
  void Reset() {
    if (FPtr)
      FPtr->Release();
    FPtr = nullptr;
  }

 private:
  T* FPtr = nullptr;
};

// COM on the calling thread for as long as it lives (single-threaded apartment, as the window
// and the shell want).
class TComApartment {
 public:
  TComApartment()
      : FInitialised(
            SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) {
  }
  ~TComApartment() {
    // Only a successful call (S_OK or S_FALSE) is balanced; a thread already in another
    // apartment keeps it.
    if (FInitialised)
      CoUninitialize();
  }
  TComApartment(const TComApartment&) = delete;
  TComApartment& operator=(const TComApartment&) = delete;

 private:
  bool FInitialised;
};

}  // namespace vt
