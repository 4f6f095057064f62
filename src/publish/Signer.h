#pragma once
// The publisher's side of the release signature: P-256 keys and raw r||s signatures.

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace vt {

class TSigningKey {
 public:
  // Reads a P-256 private key from a PEM file as OpenSSL writes it (PKCS#8 or SEC1). Raises
  // std::runtime_error with a message naming the file when it cannot be read or is no such key.
  static TSigningKey Load(const std::string& PemPath);
  // The same from PEM text.
  static TSigningKey FromPem(const std::string& Pem);
  // A fresh random key.
  static TSigningKey Generate();

  // The private key as PKCS#8 PEM text.
  std::string Pem() const;
  // Public coordinates as 64 lowercase hex digits each, as the launcher's build takes them.
  std::string PublicX() const;
  std::string PublicY() const;
  // ECDSA P-256 signature of SHA-256(Data) as 128 lowercase hex digits (r then s).
  std::string Sign(std::span<const uint8_t> Data) const;

 private:
  explicit TSigningKey(std::shared_ptr<void> Key) : FKey(std::move(Key)) {}
  std::shared_ptr<void> FKey;  // EVP_PKEY, freed with its deleter
};

}  // namespace vt
