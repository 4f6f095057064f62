#pragma once
// The program starter the launcher uses: the platform's detached start.

#include "shell/Controls.h"

namespace vt {

class TSystemStarter : public TProgramStarter {
 public:
  // Starts File detached with Params in WorkDir; never waits and reports nothing.
  void Start(const std::string& File, const std::vector<std::string>& Params,
             const std::string& WorkDir, TParamText Form) override;
};

}  // namespace vt
