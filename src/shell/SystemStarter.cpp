#include "shell/SystemStarter.h"

#include "platform/Process.h"

namespace vt {

void TSystemStarter::Start(const std::string& File, const std::vector<std::string>& Params,
                           const std::string& WorkDir, TParamText Form) {
  StartDetached(File, Params, WorkDir, Form);
}

}  // namespace vt
