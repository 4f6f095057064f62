#include "publish/KeyRotation.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "format/Digest.h"
#include "format/Text.h"
#include "platform/Files.h"
#include "publish/ObjectFiles.h"
#include "publish/PackCache.h"
#include "publish/ReleaseTree.h"
#include "publish/Signing.h"
#include "publish/TreeLock.h"

namespace vt {

namespace {

namespace fs = std::filesystem;

std::string PendingPath(const std::string& OutDir, const char* Extension) {
  return (fs::path(OutDir) / KPrivateFolder / (std::string("keys-next") + Extension)).string();
}

bool Holds(const TKeyRole& Role, const TPublicKey& Key) {
  return std::find(Role.Keys.begin(), Role.Keys.end(), Key) != Role.Keys.end();
}

void Remove(TKeyRole& Role, const TPublicKey& Key, const char* Name) {
  if (!Holds(Role, Key))
    throw std::runtime_error("key " + ShortKeyId(Key) + " is not a " + Name + " key");
  if (Role.Keys.size() == 1)
    throw std::runtime_error("key " + ShortKeyId(Key) + " is the only " + Name +
                             " key; add the one that takes over first");
  Role.Keys.erase(std::find(Role.Keys.begin(), Role.Keys.end(), Key));
  Role.Threshold = std::min<int32_t>(Role.Threshold, static_cast<int32_t>(Role.Keys.size()));
}

void Add(TKeyRole& Role, const TPublicKey& Key, const char* Name) {
  if (Holds(Role, Key))
    throw std::runtime_error("key " + ShortKeyId(Key) + " is a " + Name + " key already");
  if (Role.Keys.size() >= KMaxRoleKeys)
    throw std::runtime_error(std::string("a keys document holds at most ") +
                             std::to_string(KMaxRoleKeys) + " " + Name + " keys");
  Role.Keys.push_back(Key);
}

void SetThreshold(TKeyRole& Role, std::optional<int32_t> Threshold) {
  if (!Threshold)
    return;
  if (*Threshold < 1 || static_cast<size_t>(*Threshold) > Role.Keys.size())
    throw std::runtime_error("--threshold must be from 1 to " + std::to_string(Role.Keys.size()) +
                             ", the number of keys");
  Role.Threshold = *Threshold;
}

TKeysDocument Changed(TKeysDocument Document, const TKeysChange& Change) {
  switch (Change.Kind) {
    case TKeysChange::TKind::AddRelease:
      Add(Document.Release, Change.Key, "release");
      SetThreshold(Document.Release, Change.Threshold);
      break;
    case TKeysChange::TKind::RetireRelease:
      Remove(Document.Release, Change.Key, "release");
      SetThreshold(Document.Release, Change.Threshold);
      break;
    case TKeysChange::TKind::ReplaceRoot:
      if (!Holds(Document.Root, Change.Key))
        throw std::runtime_error("key " + ShortKeyId(Change.Key) + " is not a root key");
      Add(Document.Root, *Change.NewKey, "root");
      Remove(Document.Root, Change.Key, "root");
      SetThreshold(Document.Root, Change.Threshold);
      break;
  }
  return Document;
}

void SavePending(const std::string& OutDir, const TKeysProposal& Proposal) {
  WriteFileAtomically(PendingPath(OutDir, ".sigs"),
                      TextBytes(SignatureLinesText(Proposal.Signatures)));
  WriteFileAtomically(PendingPath(OutDir, ".json"), TextBytes(KeysDocumentJson(Proposal.Document)));
}

std::string Needed(const std::string& Text, const std::vector<TSignatureLine>& Lines,
                   const TKeyRole& Role, const char* Which) {
  const int32_t signers = SignersOf(TextBytes(Text), Lines, Role);
  if (signers >= Role.Threshold)
    return {};
  return std::to_string(Role.Threshold - signers) + " more of the " + Which + " root keys";
}

// Adds the signatures of Signers (replacing one a key made before) and publishes the proposal
// when both roots have signed enough; otherwise keeps it waiting.
TKeysOutcome SignAndSettle(const std::string& OutDir, TKeysProposal Proposal,
                           const std::vector<TSigningKey>& Signers, const TKeyRole& Root) {
  const TKeysDocument before = NewestKeys(OutDir, Root);
  const std::string text = KeysDocumentJson(Proposal.Document);
  for (const TSigningKey& signer : Signers) {
    const TPublicKey key{signer.PublicX(), signer.PublicY()};
    if (!Holds(before.Root, key) && !Holds(Proposal.Document.Root, key))
      throw std::runtime_error("key " + ShortKeyId(key) +
                               " is neither a current nor a new root key; it cannot sign keys");
    const std::string id = KeyId(key);
    std::erase_if(Proposal.Signatures,
                  [&](const TSignatureLine& Line) { return Line.KeyId == id; });
    Proposal.Signatures.push_back({id, signer.Sign(TextBytes(text))});
  }
  TKeysOutcome outcome{Proposal, false, {}};
  for (const std::string& missing :
       {Needed(text, Proposal.Signatures, before.Root, "current"),
        Needed(text, Proposal.Signatures, Proposal.Document.Root, "new")}) {
    if (!missing.empty())
      outcome.Missing.push_back(missing);
  }
  if (!outcome.Missing.empty()) {
    SavePending(OutDir, Proposal);
    return outcome;
  }
  const fs::path out(OutDir);
  const std::string document = (out / KeysDocumentPath(Proposal.Document.Version)).string();
  if (GetFileInfo(document))
    throw std::runtime_error(document + ": already published; it is never rewritten");
  fs::create_directories(out / "keys");
  // The signatures first: a client that finds the document finds them too.
  WriteFileAtomically((out / KeysSignaturesPath(Proposal.Document.Version)).string(),
                      TextBytes(SignatureLinesText(Proposal.Signatures)));
  WriteFileAtomically(document, TextBytes(text));
  RemoveFile(PendingPath(OutDir, ".json"));
  RemoveFile(PendingPath(OutDir, ".sigs"));
  outcome.Published = true;
  return outcome;
}

}  // namespace

std::string ShortKeyId(const TPublicKey& Key) {
  return KeyId(Key).substr(0, 16);
}

TKeysDocument NewestKeys(const std::string& OutDir, const TKeyRole& Root) {
  const int32_t version = NewestKeysVersion(OutDir);
  if (version == 0)
    return {0, Root, Root};
  const std::string path = (fs::path(OutDir) / KeysDocumentPath(version)).string();
  try {
    return ReadKeysDocument(ReadFileBytes(path));
  } catch (const std::exception& e) {
    throw std::runtime_error(path + ": " + e.what());
  }
}

std::optional<TKeysProposal> PendingKeys(const std::string& OutDir) {
  const std::string path = PendingPath(OutDir, ".json");
  if (!GetFileInfo(path))
    return std::nullopt;
  TKeysProposal proposal;
  try {
    proposal.Document = ReadKeysDocument(ReadFileBytes(path));
  } catch (const std::exception& e) {
    throw std::runtime_error(path + ": " + e.what() + "; drop it with vtpublish keys drop");
  }
  if (GetFileInfo(PendingPath(OutDir, ".sigs")))
    proposal.Signatures = ReadSignatureLines(ReadFileBytes(PendingPath(OutDir, ".sigs")));
  return proposal;
}

TKeysOutcome ChangeKeys(const std::string& OutDir, const TKeysChange& Change,
                        const std::vector<TSigningKey>& Signers, const TKeyRole& Root) {
  const TTreeLock lock(OutDir);
  std::optional<TKeysProposal> pending = PendingKeys(OutDir);
  TKeysDocument base;
  if (pending) {
    base = pending->Document;
  } else {
    base = NewestKeys(OutDir, Root);
    ++base.Version;
  }
  return SignAndSettle(OutDir, {Changed(std::move(base), Change), {}}, Signers, Root);
}

TKeysOutcome SignPendingKeys(const std::string& OutDir, const std::vector<TSigningKey>& Signers,
                             const TKeyRole& Root) {
  const TTreeLock lock(OutDir);
  std::optional<TKeysProposal> pending = PendingKeys(OutDir);
  if (!pending)
    throw std::runtime_error(OutDir + ": no keys change waits for signatures");
  return SignAndSettle(OutDir, std::move(*pending), Signers, Root);
}

bool DropPendingKeys(const std::string& OutDir) {
  const TTreeLock lock(OutDir);
  const bool had = GetFileInfo(PendingPath(OutDir, ".json")).has_value();
  RemoveFile(PendingPath(OutDir, ".json"));
  RemoveFile(PendingPath(OutDir, ".sigs"));
  return had;
}

TPublicKey ReadPublicKeyFile(const std::string& Path) {
  const TBytes bytes = ReadFileBytes(Path);
  const std::string text(bytes.begin(), bytes.end());
  if (text.find("-----BEGIN") != std::string::npos) {
    const TSigningKey key = TSigningKey::Load(Path);
    return {key.PublicX(), key.PublicY()};
  }
  TPublicKey key;
  for (const auto& [name, value] :
       {std::pair{"VT_RELEASE_KEY_X=", &key.X}, std::pair{"VT_RELEASE_KEY_Y=", &key.Y}}) {
    const size_t at = text.find(name);
    if (at == std::string::npos)
      break;
    *value = AsciiLower(text.substr(at + std::string_view(name).size(), 64));
  }
  if (!IsHexText(key.X, 64) || !IsHexText(key.Y, 64))
    throw std::runtime_error(Path +
                             ": no public key; give the VT_RELEASE_KEY_X=... and "
                             "VT_RELEASE_KEY_Y=... lines that keygen prints, or the key file");
  return key;
}

}  // namespace vt
