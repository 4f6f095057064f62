// The publisher's signer on CNG, for Windows where MinGW has no OpenSSL. Keys are read and
// written in OpenSSL's PEM forms (KeyDer.h), so a key file serves on either platform.

#include <windows.h>
// after windows.h, whose types it uses
#include <bcrypt.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "format/Digest.h"
#include "format/Sha256.h"
#include "format/Streams.h"
#include "platform/CngOwned.h"
#include "publish/KeyDer.h"
#include "publish/Signer.h"

namespace vt {
namespace {

constexpr ULONG KCoordinateSize = 32;

// BCRYPT_ECCKEY_BLOB ("ECS2", 32) followed by X, Y and d: the form CNG imports and exports.
struct TPrivateBlob {
  BCRYPT_ECCKEY_BLOB Header;
  UCHAR X[KCoordinateSize];
  UCHAR Y[KCoordinateSize];
  UCHAR D[KCoordinateSize];
};
static_assert(sizeof(TPrivateBlob) == 104);

// What TSigningKey's FKey holds here: the key's bytes, and CNG's handles for signing.
struct TCngSigningKey {
  TEcKeyBytes Bytes;
  TCngProvider Provider;  // declared before Key, so that Key is destroyed first
  TCngKey Key;
};

const TCngSigningKey& Raw(const std::shared_ptr<void>& Key) {
  return *static_cast<const TCngSigningKey*>(Key.get());
}

[[noreturn]] void RaiseStatus(const std::string& What, NTSTATUS Status) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lx", static_cast<unsigned long>(Status));
  throw std::runtime_error(What + ": CNG status " + code);
}

TCngProvider Provider() {
  TCngProvider provider = OpenEcdsaP256Provider();
  if (!provider)
    throw std::runtime_error("cannot open the P-256 ECDSA provider");
  return provider;
}

// Hands Bytes to CNG; Prefix names the origin of the key in messages.
std::shared_ptr<void> Import(const TEcKeyBytes& Bytes, const std::string& Prefix) {
  auto key = std::make_shared<TCngSigningKey>();
  key->Bytes = Bytes;
  key->Provider = Provider();
  TPrivateBlob blob{};
  blob.Header.dwMagic = BCRYPT_ECDSA_PRIVATE_P256_MAGIC;
  blob.Header.cbKey = KCoordinateSize;
  std::memcpy(blob.X, Bytes.X.data(), KCoordinateSize);
  std::memcpy(blob.Y, Bytes.Y.data(), KCoordinateSize);
  std::memcpy(blob.D, Bytes.D.data(), KCoordinateSize);
  BCRYPT_KEY_HANDLE handle = nullptr;
  const NTSTATUS status =
      ::BCryptImportKeyPair(key->Provider.get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, &handle,
                            reinterpret_cast<PUCHAR>(&blob), sizeof blob, 0);
  SecureZeroMemory(blob.D, sizeof blob.D);
  if (!BCRYPT_SUCCESS(status))
    throw std::runtime_error(Prefix + "not a P-256 private key");
  key->Key.reset(handle);
  return key;
}

std::shared_ptr<void> ParsePem(const std::string& Pem, const std::string& Prefix) {
  try {
    return Import(ReadP256KeyPem(Pem), Prefix);
  } catch (const std::runtime_error& error) {
    if (!Prefix.empty() && std::string(error.what()).rfind(Prefix, 0) != 0)
      throw std::runtime_error(Prefix + error.what());
    throw;
  }
}

TEcKeyBytes Export(BCRYPT_KEY_HANDLE Key) {
  TPrivateBlob blob{};
  ULONG size = 0;
  const NTSTATUS status = ::BCryptExportKey(Key, nullptr, BCRYPT_ECCPRIVATE_BLOB,
                                            reinterpret_cast<PUCHAR>(&blob), sizeof blob, &size, 0);
  if (!BCRYPT_SUCCESS(status) || size != sizeof blob)
    RaiseStatus("cannot export the generated key", status);
  TEcKeyBytes bytes;
  std::memcpy(bytes.X.data(), blob.X, KCoordinateSize);
  std::memcpy(bytes.Y.data(), blob.Y, KCoordinateSize);
  std::memcpy(bytes.D.data(), blob.D, KCoordinateSize);
  SecureZeroMemory(blob.D, sizeof blob.D);
  return bytes;
}

}  // namespace

TSigningKey TSigningKey::Load(const std::string& PemPath) {
  return TSigningKey(ParsePem(ReadWholeFile(PemPath), PemPath + ": "));
}

TSigningKey TSigningKey::FromPem(const std::string& Pem) {
  return TSigningKey(ParsePem(Pem, ""));
}

TSigningKey TSigningKey::Generate() {
  const TCngProvider provider = Provider();
  BCRYPT_KEY_HANDLE handle = nullptr;
  NTSTATUS status = ::BCryptGenerateKeyPair(provider.get(), &handle, 256, 0);
  if (!BCRYPT_SUCCESS(status))
    RaiseStatus("cannot generate a P-256 key", status);
  const TCngKey generated(handle);
  status = ::BCryptFinalizeKeyPair(generated.get(), 0);
  if (!BCRYPT_SUCCESS(status))
    RaiseStatus("cannot generate a P-256 key", status);
  // Imported again from its bytes, so that every key is held the same way.
  return TSigningKey(Import(Export(generated.get()), ""));
}

std::string TSigningKey::Pem() const {
  return WriteP256KeyPem(Raw(FKey).Bytes);
}

std::string TSigningKey::PublicX() const {
  return BytesToHex(Raw(FKey).Bytes.X);
}

std::string TSigningKey::PublicY() const {
  return BytesToHex(Raw(FKey).Bytes.Y);
}

std::string TSigningKey::Sign(std::span<const uint8_t> Data) const {
  TSha256 hash;
  hash.Update(Data.data(), Data.size());
  TSha256Digest digest = hash.Final();
  uint8_t signature[2 * KCoordinateSize];
  ULONG size = 0;
  // CNG signs the digest and gives r||s, each 32 bytes: the launcher's form as it is.
  const NTSTATUS status =
      ::BCryptSignHash(Raw(FKey).Key.get(), nullptr, digest.data(),
                       static_cast<ULONG>(digest.size()), signature, sizeof signature, &size, 0);
  if (!BCRYPT_SUCCESS(status) || size != sizeof signature)
    RaiseStatus("cannot sign", status);
  return BytesToHex(signature);
}

}  // namespace vt
