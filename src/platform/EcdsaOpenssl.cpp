// ECDSA P-256 verification through OpenSSL 3's EVP interface (no deprecated EC_KEY calls).

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <algorithm>
#include <memory>

#include "platform/Ecdsa.h"
#include "platform/OpensslOwned.h"

namespace vt {

namespace {

template <typename T, void (*Free)(T*)>
using TOwned = TOpensslOwned<T, Free>;

using TParamBuild = TOwned<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
using TParams = TOwned<OSSL_PARAM, OSSL_PARAM_free>;
using TPkeyCtx = TOwned<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using TPkey = TOwned<EVP_PKEY, EVP_PKEY_free>;
using TBignum = TOwned<BIGNUM, BN_free>;
using TEcdsaSig = TOwned<ECDSA_SIG, ECDSA_SIG_free>;

void FreeDer(unsigned char* Der) {
  OPENSSL_free(Der);
}
using TDer = TOwned<unsigned char, FreeDer>;

// The public key from its affine coordinates. OpenSSL refuses a point that is not on the curve.
TPkey PublicKey(const uint8_t (&X)[32], const uint8_t (&Y)[32]) {
  unsigned char point[65];
  point[0] = 0x04;  // uncompressed form: X then Y
  std::copy(X, X + 32, point + 1);
  std::copy(Y, Y + 32, point + 33);

  TParamBuild build(OSSL_PARAM_BLD_new());
  if (!build ||
      !OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) ||
      !OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY, point,
                                        sizeof point)) {
    return nullptr;
  }
  TParams params(OSSL_PARAM_BLD_to_param(build.get()));
  TPkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0)
    return nullptr;
  EVP_PKEY* key = nullptr;
  if (EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) <= 0)
    return nullptr;
  return TPkey(key);
}

// r||s as the DER ECDSA-Sig-Value that OpenSSL's verification takes. Empty on failure.
TDer DerSignature(const uint8_t (&Signature)[64], int& Length) {
  TBignum r(BN_bin2bn(Signature, 32, nullptr));
  TBignum s(BN_bin2bn(Signature + 32, 32, nullptr));
  TEcdsaSig sig(ECDSA_SIG_new());
  if (!r || !s || !sig || !ECDSA_SIG_set0(sig.get(), r.get(), s.get()))
    return nullptr;
  // The signature owns r and s from here on.
  (void)r.release();
  (void)s.release();
  unsigned char* der = nullptr;
  Length = i2d_ECDSA_SIG(sig.get(), &der);
  if (Length <= 0)
    return nullptr;
  return TDer(der);
}

bool Verify(const uint8_t (&Digest)[32], const uint8_t (&Signature)[64], const uint8_t (&X)[32],
            const uint8_t (&Y)[32]) {
  TPkey key = PublicKey(X, Y);
  int derLength = 0;
  TDer der = DerSignature(Signature, derLength);
  if (!key || !der)
    return false;
  TPkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  if (!ctx || EVP_PKEY_verify_init(ctx.get()) <= 0)
    return false;
  // OpenSSL itself refuses r or s outside [1, n-1]; 1 is the only success value.
  return EVP_PKEY_verify(ctx.get(), der.get(), static_cast<size_t>(derLength), Digest, 32) == 1;
}

}  // namespace

bool EcdsaP256Verify(const uint8_t (&Digest)[32], const uint8_t (&Signature)[64],
                     const uint8_t (&X)[32], const uint8_t (&Y)[32]) {
  const bool valid = Verify(Digest, Signature, X, Y);
  // A refused signature leaves entries in this thread's error queue; drop them so it cannot grow.
  if (!valid) {
    ERR_clear_error();
  }
  return valid;
}

}  // namespace vt
