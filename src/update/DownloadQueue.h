#pragma once
// The download step: the queued files fetched by a few workers at once.

namespace vt {

// Download workers of one run.
constexpr int KWorkerCount = 4;

}  // namespace vt
