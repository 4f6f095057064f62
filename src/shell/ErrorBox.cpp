#include "shell/ErrorBox.h"

#include <exception>

namespace vt {

bool RunGuarded(const std::function<void()>& Call) {
  try {
    Call();
    return true;
  } catch (const std::exception& error) {
    ShowErrorBox(error.what());
  } catch (...) {
    ShowErrorBox("unexpected error");
  }
  return false;
}

}  // namespace vt
