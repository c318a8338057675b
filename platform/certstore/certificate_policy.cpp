#include "platform/certstore/certificate_policy.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <string>

namespace certificate_policy {
namespace {

// The names a person knows these keys by (OpenSSL's short names read "id-ecPublicKey").
std::string KeyTypeName(const EVP_PKEY* AKey) {
  switch (EVP_PKEY_get_base_id(AKey)) {
    case EVP_PKEY_EC:
      return "EC";
    case EVP_PKEY_DSA:
      return "DSA";
    case EVP_PKEY_ED25519:
      return "Ed25519";
    case EVP_PKEY_ED448:
      return "Ed448";
    // Restricted to PSS, it cannot make the PKCS#1 v1.5 signatures (rsa-sha1, rsa-sha256) of
    // the NFS-e layouts.
    case EVP_PKEY_RSA_PSS:
      return "RSA-PSS";
    default:
      break;
  }
  const char* name = EVP_PKEY_get0_type_name(AKey);
  return name != nullptr ? name : "de um tipo desconhecido";
}

std::string KeyRefusal(X509* ACertificate) {
  const EVP_PKEY* key = X509_get0_pubkey(ACertificate);
  if (key == nullptr) return "a chave pública do certificado não pôde ser lida";
  if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
    return "a chave do certificado é " + KeyTypeName(key) + "; só chaves RSA são usadas nas NFS-e";
  }
  const int bits = EVP_PKEY_get_bits(key);
  if (bits < kMinimumRsaBits) {
    return "a chave RSA do certificado tem " + std::to_string(bits) + " bits; o mínimo aceito é " +
           std::to_string(kMinimumRsaBits);
  }
  return {};
}

std::string DigestRefusal(X509* ACertificate) {
  int digest = NID_undef;
  if (OBJ_find_sigid_algs(X509_get_signature_nid(ACertificate), &digest, nullptr) != 1) return {};
  const char* name = digest == NID_md5 ? "MD5" : digest == NID_md2 ? "MD2" : nullptr;
  if (name == nullptr) return {};
  return std::string("o certificado foi assinado pela AC com ") + name + ", um algoritmo inseguro";
}

std::string FirstRefusal(X509* ACertificate) {
  if (std::string refusal = KeyRefusal(ACertificate); !refusal.empty()) return refusal;
  const std::uint32_t flags = X509_get_extension_flags(ACertificate);
  // A basicConstraints that does not decode leaves EXFLAG_CA unset: without this, damaging it
  // would pass a CA's certificate for a holder's.
  if ((flags & EXFLAG_INVALID) != 0) {
    return "as extensões do certificado estão malformadas e não puderam ser lidas";
  }
  if ((flags & EXFLAG_CA) != 0) {
    return "o certificado é de uma autoridade certificadora (AC), não de um titular que assina "
           "documentos";
  }
  if ((flags & EXFLAG_KUSAGE) != 0 &&
      (X509_get_key_usage(ACertificate) & (KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION)) == 0) {
    return "o uso da chave do certificado não inclui assinatura digital nem não repúdio (é um "
           "certificado para outro fim)";
  }
  return DigestRefusal(ACertificate);
}

}  // namespace

std::string SigningRefusal(X509* ACertificate) {
  // Decoding a damaged key or extension queues OpenSSL's errors; the refusal already says why.
  ERR_set_mark();
  std::string refusal = FirstRefusal(ACertificate);
  ERR_pop_to_mark();
  return refusal;
}

}  // namespace certificate_policy
