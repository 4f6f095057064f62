#pragma once
// The last steps that every way of receiving a file shares: where its object lies, and moving
// the verified candidate over the target.

#include <stop_token>
#include <string>

#include "update/RemoteFile.h"

namespace vt {

// The URL of File's object in the store at Objects (ending "/").
std::string ObjectUrl(const std::string& Objects, const TRemoteFile& File);

// Checks Candidate against File's size and SHA-256 (removed, and "<path> arrived damaged - try
// again" raised, when it differs), gives it the mode of what it holds and moves it over Target
// in one step.
void PlaceCandidate(const std::string& Candidate, const TRemoteFile& File,
                    const std::string& Target, const std::stop_token& Stop);
// The same for a candidate already checked against File.
void PlaceVerified(const std::string& Candidate, const TRemoteFile& File,
                   const std::string& Target);

}  // namespace vt
