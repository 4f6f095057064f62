#include "publish/Signer.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <climits>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "format/Digest.h"
#include "format/Streams.h"
#include "platform/OpensslOwned.h"

namespace vt {

namespace {

template <typename T, void (*Free)(T*)>
using TOwned = TOpensslOwned<T, Free>;

using TBio = TOwned<BIO, BIO_free_all>;
using TBignum = TOwned<BIGNUM, BN_free>;
using TMdCtx = TOwned<EVP_MD_CTX, EVP_MD_CTX_free>;
using TEcdsaSig = TOwned<ECDSA_SIG, ECDSA_SIG_free>;

constexpr size_t KCoordinateSize = 32;

EVP_PKEY* Raw(const std::shared_ptr<void>& Key) {
  return static_cast<EVP_PKEY*>(Key.get());
}

std::shared_ptr<void> Own(EVP_PKEY* Key) {
  return std::shared_ptr<void>(Key,
                               [](void* Object) { EVP_PKEY_free(static_cast<EVP_PKEY*>(Object)); });
}

// OpenSSL's reason for the last failure, taken off this thread's error queue.
std::string OpensslReason() {
  const unsigned long code = ERR_peek_last_error();
  char text[256] = "unknown OpenSSL error";
  if (code != 0)
    ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return text;
}

[[noreturn]] void RaiseOpenssl(const std::string& What) {
  throw std::runtime_error(What + ": " + OpensslReason());
}

// Refuses encrypted keys instead of letting OpenSSL prompt on the terminal.
int NoPassphrase(char*, int, int, void*) {
  return -1;
}

bool IsP256(EVP_PKEY* Key) {
  char group[64] = {};
  size_t length = 0;
  return EVP_PKEY_is_a(Key, "EC") &&
         EVP_PKEY_get_group_name(Key, group, sizeof group, &length) == 1 &&
         std::strcmp(group, "prime256v1") == 0;
}

// Prefix names the origin of the text in messages ("<file>: " or nothing).
std::shared_ptr<void> ParsePem(const std::string& Pem, const std::string& Prefix) {
  if (Pem.size() > INT_MAX)
    throw std::runtime_error(Prefix + "not a P-256 private key");
  TBio bio(BIO_new_mem_buf(Pem.data(), static_cast<int>(Pem.size())));
  if (!bio)
    RaiseOpenssl(Prefix + "cannot read the key");
  std::shared_ptr<void> key =
      Own(PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr));
  ERR_clear_error();
  if (!key && Pem.find("ENCRYPTED") != std::string::npos) {
    throw std::runtime_error(Prefix + "encrypted private keys are not supported");
  }
  if (!key || !IsP256(Raw(key)))
    throw std::runtime_error(Prefix + "not a P-256 private key");
  return key;
}

std::string Coordinate(EVP_PKEY* Key, const char* Name) {
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(Key, Name, &raw) != 1)
    RaiseOpenssl("cannot read the public key");
  TBignum value(raw);
  uint8_t bytes[KCoordinateSize];
  if (BN_bn2binpad(value.get(), bytes, sizeof bytes) != sizeof bytes) {
    RaiseOpenssl("cannot read the public key");
  }
  return BytesToHex(bytes);
}

// OpenSSL signs in DER; the launcher takes r||s, each left-padded to 32 bytes.
std::string DerToRawHex(const std::vector<unsigned char>& Der) {
  const unsigned char* next = Der.data();
  TEcdsaSig sig(d2i_ECDSA_SIG(nullptr, &next, static_cast<long>(Der.size())));
  if (!sig)
    RaiseOpenssl("cannot decode the signature");
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  ECDSA_SIG_get0(sig.get(), &r, &s);
  uint8_t raw[2 * KCoordinateSize];
  if (BN_bn2binpad(r, raw, KCoordinateSize) != KCoordinateSize ||
      BN_bn2binpad(s, raw + KCoordinateSize, KCoordinateSize) != KCoordinateSize) {
    RaiseOpenssl("cannot encode the signature");
  }
  return BytesToHex(raw);
}

}  // namespace

TSigningKey TSigningKey::Load(const std::string& PemPath) {
  return TSigningKey(ParsePem(ReadWholeFile(PemPath), PemPath + ": "));
}

TSigningKey TSigningKey::FromPem(const std::string& Pem) {
  return TSigningKey(ParsePem(Pem, ""));
}

TSigningKey TSigningKey::Generate() {
  std::shared_ptr<void> key = Own(EVP_EC_gen("P-256"));
  if (!key)
    RaiseOpenssl("cannot generate a P-256 key");
  return TSigningKey(std::move(key));
}

std::string TSigningKey::Pem() const {
  TBio bio(BIO_new(BIO_s_mem()));
  // PEM_write_bio_PrivateKey writes PKCS#8 ("BEGIN PRIVATE KEY") in OpenSSL 3.
  if (!bio ||
      PEM_write_bio_PrivateKey(bio.get(), Raw(FKey), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    RaiseOpenssl("cannot write the private key");
  }
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

std::string TSigningKey::PublicX() const {
  return Coordinate(Raw(FKey), OSSL_PKEY_PARAM_EC_PUB_X);
}

std::string TSigningKey::PublicY() const {
  return Coordinate(Raw(FKey), OSSL_PKEY_PARAM_EC_PUB_Y);
}

std::string TSigningKey::Sign(std::span<const uint8_t> Data) const {
  static const uint8_t KNothing = 0;  // OpenSSL wants a pointer even for no data
  const uint8_t* data = Data.empty() ? &KNothing : Data.data();
  TMdCtx ctx(EVP_MD_CTX_new());
  // One call: the size is the DER maximum, so the context is never asked twice.
  size_t length = static_cast<size_t>(EVP_PKEY_get_size(Raw(FKey)));
  std::vector<unsigned char> der(length);
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, Raw(FKey)) != 1 ||
      EVP_DigestSign(ctx.get(), der.data(), &length, data, Data.size()) != 1) {
    RaiseOpenssl("cannot sign");
  }
  der.resize(length);
  return DerToRawHex(der);
}

}  // namespace vt
