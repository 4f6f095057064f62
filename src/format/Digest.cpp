#include "format/Digest.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "format/Errors.h"
#include "format/ReleaseKey.h"
#include "format/Sha256.h"
#include "platform/Ecdsa.h"
#include "platform/Files.h"

namespace vt {

namespace {

constexpr char KHexDigits[] = "0123456789abcdef";

// Hashing streams the file through one buffer of this size, never the whole file; a piece
// that stays in the L2 cache until it is hashed makes the SHA-NI path about half again faster.
constexpr size_t KHashChunk = 64 * 1024;

[[noreturn]] void RaiseNotHex(char C, size_t Position) {
  const auto code = static_cast<unsigned char>(C);
  // Control and non-ASCII bytes are shown by their code so the message stays one plain line.
  std::string shown = code > ' ' && code < 0x7f
                          ? std::string("'") + C + "'"
                          : std::string("byte 0x") + KHexDigits[code >> 4] + KHexDigits[code & 15];
  throw std::invalid_argument(shown + " at position " + std::to_string(Position) +
                              " is not a hexadecimal digit");
}

bool IsBlankOrControl(char C) {
  return static_cast<unsigned char>(C) <= ' ';
}

std::string_view TrimBlanks(std::string_view Text) {
  while (!Text.empty() && IsBlankOrControl(Text.front()))
    Text.remove_prefix(1);
  while (!Text.empty() && IsBlankOrControl(Text.back()))
    Text.remove_suffix(1);
  return Text;
}

TSha256Digest Sha256Of(std::span<const uint8_t> Bytes) {
  TSha256 hash;
  hash.Update(Bytes.data(), Bytes.size());
  return hash.Final();
}

bool VerifyOrFalse(std::span<const uint8_t> Data, std::string_view Text, std::string_view KeyX,
                   std::string_view KeyY) {
  const TBytes signature = HexToBytes(TrimBlanks(Text));
  const TBytes x = HexToBytes(KeyX);
  const TBytes y = HexToBytes(KeyY);
  // An odd digit count decodes to nothing and fails here too.
  if (signature.size() != 64 || x.size() != 32 || y.size() != 32)
    return false;

  const TSha256Digest digest = Sha256Of(Data);
  uint8_t digestBytes[32], signatureBytes[64], xBytes[32], yBytes[32];
  std::memcpy(digestBytes, digest.data(), 32);
  std::memcpy(signatureBytes, signature.data(), 64);
  std::memcpy(xBytes, x.data(), 32);
  std::memcpy(yBytes, y.data(), 32);
  return EcdsaP256Verify(digestBytes, signatureBytes, xBytes, yBytes);
}

}  // namespace

int HexValue(char C) {
  if (C >= '0' && C <= '9')
    return C - '0';
  if (C >= 'a' && C <= 'f')
    return C - 'a' + 10;
  if (C >= 'A' && C <= 'F')
    return C - 'A' + 10;
  return -1;
}

bool IsHexText(std::string_view Text, size_t Size) {
  return Text.size() == Size &&
         std::all_of(Text.begin(), Text.end(), [](char C) { return HexValue(C) >= 0; });
}

TBytes HexToBytes(std::string_view Text) {
  if (Text.size() % 2 != 0)
    return {};
  TBytes bytes(Text.size() / 2);
  for (size_t i = 0; i < Text.size(); ++i) {
    const int value = HexValue(Text[i]);
    if (value < 0)
      RaiseNotHex(Text[i], i);
    bytes[i / 2] = static_cast<uint8_t>(bytes[i / 2] << 4 | value);
  }
  return bytes;
}

std::string BytesToHex(std::span<const uint8_t> Bytes) {
  std::string text;
  text.reserve(Bytes.size() * 2);
  for (const uint8_t b : Bytes) {
    text.push_back(KHexDigits[b >> 4]);
    text.push_back(KHexDigits[b & 15]);
  }
  return text;
}

std::string Sha256Hex(std::span<const uint8_t> Bytes) {
  return BytesToHex(Sha256Of(Bytes));
}

bool VerifySignature(std::span<const uint8_t> Data, std::string_view Text) {
  return VerifySignatureWithKey(Data, Text, KReleaseKeyX, KReleaseKeyY);
}

bool VerifySignatureWithKey(std::span<const uint8_t> Data, std::string_view Text,
                            std::string_view KeyX, std::string_view KeyY) {
  // The caller has one message for every kind of failure, so none of them may escape.
  try {
    return VerifyOrFalse(Data, Text, KeyX, KeyY);
  } catch (...) {
    return false;
  }
}

std::string FileSha256Hex(const std::string& Path, const TStopToken& Stop) {
  TFile file = TFile::OpenRead(Path);
  std::vector<uint8_t> buffer(KHashChunk);
  TSha256 sha;
  // A file of several GiB takes seconds: a stop must not wait for its end.
  while (const size_t got = file.Read(buffer.data(), buffer.size())) {
    if (Stop.StopRequested())
      throw TStopped();
    sha.Update(buffer.data(), got);
  }
  const TSha256Digest digest = sha.Final();
  return BytesToHex(digest);
}

}  // namespace vt
