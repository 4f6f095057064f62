#pragma once
// For the files built on CNG only: its provider and key handles owned by unique_ptr, each
// released with its own call on every path.

#include <windows.h>
// after windows.h, whose types it uses
#include <bcrypt.h>

#include <memory>
#include <type_traits>

namespace vt {

struct TCngProviderCloser {
  void operator()(BCRYPT_ALG_HANDLE Handle) const { ::BCryptCloseAlgorithmProvider(Handle, 0); }
};
struct TCngKeyDestroyer {
  void operator()(BCRYPT_KEY_HANDLE Handle) const { ::BCryptDestroyKey(Handle); }
};

using TCngProvider = std::unique_ptr<std::remove_pointer_t<BCRYPT_ALG_HANDLE>, TCngProviderCloser>;
using TCngKey = std::unique_ptr<std::remove_pointer_t<BCRYPT_KEY_HANDLE>, TCngKeyDestroyer>;

// The P-256 ECDSA provider, or an empty owner when the system refuses it.
inline TCngProvider OpenEcdsaP256Provider() {
  BCRYPT_ALG_HANDLE handle = nullptr;
  if (!BCRYPT_SUCCESS(
          ::BCryptOpenAlgorithmProvider(&handle, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) {
    return nullptr;
  }
  return TCngProvider(handle);
}

}  // namespace vt
