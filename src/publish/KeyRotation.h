#pragma once
// Changes to a tree's keys: a proposed next keys document waits in the tree's private folder
// until a threshold of the current root keys and of its own have signed it (one signature per
// call, so root keys can be kept in different places), and then goes live as
// "keys/<version>.json" with its signatures beside it. A published version is never rewritten.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "format/Keys.h"
#include "publish/Signer.h"

namespace vt {

// The newest keys document OutDir serves; before any, version 0: Root (that of the launcher,
// by default the one built into this program), which signs releases itself.
TKeysDocument NewestKeys(const std::string& OutDir, const TKeyRole& Root = BuiltInRoot());

// A next keys document and the signatures it has so far.
struct TKeysProposal {
  TKeysDocument Document;
  std::vector<TSignatureLine> Signatures;
};

// The proposal waiting in OutDir, if any.
std::optional<TKeysProposal> PendingKeys(const std::string& OutDir);

// One change of the keys. Threshold, when given, sets the changed role's threshold; otherwise it
// stays, lowered to the number of keys left.
struct TKeysChange {
  enum class TKind { AddRelease, RetireRelease, ReplaceRoot };
  TKind Kind = TKind::AddRelease;
  TPublicKey Key;                    // the key added or retired, or the root key replaced
  std::optional<TPublicKey> NewKey;  // the root key that replaces it
  std::optional<int32_t> Threshold;
};

// What a change or a signature left: the proposal, and whether it went live.
struct TKeysOutcome {
  TKeysProposal Proposal;
  bool Published = false;
  // The keys still needed: "n of the current root keys", "n of the new root keys".
  std::vector<std::string> Missing;
};

// Applies Change to the waiting proposal (dropping its signatures) or, when none waits, to the
// newest keys, then signs with Signers. Raises with a one-line message for a change that makes
// no sense: a key added twice, a retired or replaced key that is not there, the last key of a
// role, a threshold above its keys. Takes the tree's lock.
TKeysOutcome ChangeKeys(const std::string& OutDir, const TKeysChange& Change,
                        const std::vector<TSigningKey>& Signers,
                        const TKeyRole& Root = BuiltInRoot());

// Adds Signers' signatures to the waiting proposal and publishes it once both thresholds are
// met. Refuses a key that is neither a current nor a new root key. Takes the tree's lock.
TKeysOutcome SignPendingKeys(const std::string& OutDir, const std::vector<TSigningKey>& Signers,
                             const TKeyRole& Root = BuiltInRoot());

// Drops the waiting proposal; false when there was none. Takes the tree's lock.
bool DropPendingKeys(const std::string& OutDir);

// The first 16 hex digits of Key's id, as messages and listings name a key.
std::string ShortKeyId(const TPublicKey& Key);

// The public key in Path: the "VT_RELEASE_KEY_X=..." and "VT_RELEASE_KEY_Y=..." lines keygen and
// key show print, or a private key file's public half. Raises naming the file.
TPublicKey ReadPublicKeyFile(const std::string& Path);

}  // namespace vt
