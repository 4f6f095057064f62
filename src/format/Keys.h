#pragma once
// Keys that can change: the root of trust built into the launcher delegates the signing of
// releases to release keys through a versioned keys document on the server, each version signed
// by a threshold of the previous version's root keys and of its own. Detached signatures by
// several keys sit in a file of lines "<key id> <signature>".

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "format/Json.h"

namespace vt {

// Bounds of what a server may send: a keys document or a file of signatures, the keys of one
// role, and the versions one run walks.
constexpr int64_t KMaxKeysBytes = 65536;
constexpr size_t KMaxRoleKeys = 32;
constexpr int32_t KMaxKeySteps = 32;

// A P-256 public key: X and Y, 64 lowercase hex digits each.
struct TPublicKey {
  std::string X;
  std::string Y;

  bool operator==(const TPublicKey&) const = default;
};

// 64 lowercase hex digits of the SHA-256 of X and Y as 64 bytes.
std::string KeyId(const TPublicKey& Key);

// Keys of one role and how many of them must sign.
struct TKeyRole {
  int32_t Threshold = 1;
  std::vector<TPublicKey> Keys;

  bool operator==(const TKeyRole&) const = default;
};

// One signature of a file of signatures.
struct TSignatureLine {
  std::string KeyId;
  std::string Signature;  // 128 hex digits, r then s
};

// The lines of a file of signatures that have the form "<64 hex> <128 hex>" (blanks and line
// ends around them as a signature file allows); other lines count for nothing.
std::vector<TSignatureLine> ReadSignatureLines(std::span<const uint8_t> Bytes);
// Lines as ReadSignatureLines reads them.
std::string SignatureLinesText(const std::vector<TSignatureLine>& Lines);

// How many distinct keys of Role signed Data in Lines.
int32_t SignersOf(std::span<const uint8_t> Data, const std::vector<TSignatureLine>& Lines,
                  const TKeyRole& Role);
// True when at least Role.Threshold distinct keys of Role signed Data in Lines.
bool MeetsThreshold(std::span<const uint8_t> Data, const std::vector<TSignatureLine>& Lines,
                    const TKeyRole& Role);
// True when Signature (the one line of a "version.sig") is one of Data by any key of Role.
bool SignedByOneOf(std::span<const uint8_t> Data, std::string_view Signature, const TKeyRole& Role);

// The keys document "keys/<version>.json":
//   {"format":1,"version":N,"root":{"threshold":T,"keys":["<X><Y>",...]},"release":{...}}
struct TKeysDocument {
  int32_t Version = 0;
  TKeyRole Root;
  TKeyRole Release;

  bool operator==(const TKeysDocument&) const = default;
};

// The root of trust built into this launcher.
TKeyRole BuiltInRoot();

// Reads a keys document from its parsed value; raises TUpdateError "the update server's keys
// cannot be read" for any document that is not one: a format other than 1, a version below 1,
// a role with no keys, more than KMaxRoleKeys, a key twice, or a threshold above its keys.
TKeysDocument ReadKeysDocument(const TJsonValue& Root);
TKeysDocument ReadKeysDocument(std::span<const uint8_t> Bytes);
// The document's text, in the one JSON form this system writes.
std::string KeysDocumentJson(const TKeysDocument& Document);
// Version Version of the keys document read from Text, when it is that version and a threshold of
// Root (the version before's) and of its own root signed it in Signatures; nothing otherwise.
std::optional<TKeysDocument> VerifiedNextKeys(std::span<const uint8_t> Text,
                                              std::span<const uint8_t> Signatures, int32_t Version,
                                              const TKeyRole& Root);
// Where version Version of the keys document lies below the server's base URL, and its
// signatures.
std::string KeysDocumentPath(int32_t Version);
std::string KeysSignaturesPath(int32_t Version);

}  // namespace vt
