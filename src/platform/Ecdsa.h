#pragma once
// ECDSA P-256 verification by the platform's cryptography.

#include <cstdint>

namespace vt {

// True when Signature (r||s, 32 bytes each, big-endian) is valid for the SHA-256 Digest under
// the public key (X, Y), 32 bytes each, big-endian. Any platform failure gives false.
bool EcdsaP256Verify(const uint8_t (&Digest)[32], const uint8_t (&Signature)[64],
                     const uint8_t (&X)[32], const uint8_t (&Y)[32]);

}  // namespace vt
