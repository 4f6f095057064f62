// ECDSA P-256 verification through CNG: open the provider, import the public key as an
// ECCPUBLICBLOB, verify, then destroy the key and close the provider.

#include <algorithm>
#include <cstring>

#include "platform/CngOwned.h"
#include "platform/Ecdsa.h"

namespace vt {
namespace {

constexpr ULONG KCoordinateSize = 32;

// BCRYPT_ECCKEY_BLOB ("ECS1", 32) followed by X and Y: 72 bytes.
struct TPublicBlob {
  BCRYPT_ECCKEY_BLOB Header;
  UCHAR X[KCoordinateSize];
  UCHAR Y[KCoordinateSize];
};
static_assert(sizeof(TPublicBlob) == 72);

TCngKey ImportPublicKey(BCRYPT_ALG_HANDLE Provider, const uint8_t (&X)[32],
                        const uint8_t (&Y)[32]) {
  TPublicBlob blob{};
  blob.Header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  blob.Header.cbKey = KCoordinateSize;
  std::copy(X, X + 32, blob.X);
  std::copy(Y, Y + 32, blob.Y);
  BCRYPT_KEY_HANDLE key = nullptr;
  if (!BCRYPT_SUCCESS(::BCryptImportKeyPair(Provider, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key,
                                            reinterpret_cast<PUCHAR>(&blob), sizeof blob, 0))) {
    return nullptr;
  }
  return TCngKey(key);
}

}  // namespace

bool EcdsaP256Verify(const uint8_t (&Digest)[32], const uint8_t (&Signature)[64],
                     const uint8_t (&X)[32], const uint8_t (&Y)[32]) {
  // Declared in this order, so the key is destroyed before the provider is closed.
  const TCngProvider provider = OpenEcdsaP256Provider();
  if (!provider)
    return false;
  const TCngKey key = ImportPublicKey(provider.get(), X, Y);
  if (!key)
    return false;
  // BCryptVerifySignature takes non-const buffers but only reads them.
  uint8_t digest[32];
  uint8_t signature[64];
  std::memcpy(digest, Digest, sizeof digest);
  std::memcpy(signature, Signature, sizeof signature);
  return ::BCryptVerifySignature(key.get(), nullptr, digest, sizeof digest, signature,
                                 sizeof signature, 0) == 0;
}

}  // namespace vt
