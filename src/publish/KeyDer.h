#pragma once
// P-256 private keys in the PEM forms OpenSSL writes, read and written without OpenSSL (for the
// CNG signer, where MinGW has none): PKCS#8 ("PRIVATE KEY") and SEC1 ("EC PRIVATE KEY").

#include <array>
#include <cstdint>
#include <string>

namespace vt {

// The private scalar and the public point, 32 big-endian bytes each.
struct TEcKeyBytes {
  std::array<uint8_t, 32> D{};
  std::array<uint8_t, 32> X{};
  std::array<uint8_t, 32> Y{};
};

// Reads the first private key of Pem: PKCS#8, or SEC1 (after an optional "EC PARAMETERS"
// block). Raises std::runtime_error "encrypted private keys are not supported" for an
// encrypted one, and "not a P-256 private key" for anything else it cannot take, a key that
// does not carry its public point included.
TEcKeyBytes ReadP256KeyPem(const std::string& Pem);

// Key as PKCS#8 PEM text in OpenSSL's layout (its public point included).
std::string WriteP256KeyPem(const TEcKeyBytes& Key);

}  // namespace vt
