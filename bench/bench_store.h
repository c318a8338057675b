#pragma once

// A throw-away signing certificate for the benchmark programs (their scratch folders are the
// tests' TScratchDirectory).

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

#include "platform/openssl_handles.h"
#include "tests/support/scratch_directory.h"

namespace bench {

inline void Require(bool AOk, const std::string& AWhat) {
  if (!AOk) throw std::runtime_error("falhou: " + AWhat);
}

}  // namespace bench

// Writes a self-issued RSA-2048 certificate followed by its key, in PEM, to AFile: one entry of
// the personal store. Returns the key.
inline EvpPkeyPtr WriteSelfIssuedEntry(const std::filesystem::path& AFile, long ASerial) {
  EvpPkeyPtr key{EVP_RSA_gen(2048)};
  bench::Require(key != nullptr, "EVP_RSA_gen");
  X509Ptr certificate{X509_new()};
  bench::Require(certificate != nullptr, "X509_new");
  X509_set_version(certificate.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), ASerial);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 30L * 24 * 3600);
  X509_NAME* name = X509_get_subject_name(certificate.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>("EMPRESA BENCH LTDA"), -1, -1,
                             0);
  X509_set_issuer_name(certificate.get(), name);
  X509_set_pubkey(certificate.get(), key.get());
  bench::Require(X509_sign(certificate.get(), key.get(), EVP_sha256()) > 0, "X509_sign");
  BioPtr bio{BIO_new_file(AFile.c_str(), "w")};
  bench::Require(bio != nullptr, "BIO_new_file");
  bench::Require(PEM_write_bio_X509(bio.get(), certificate.get()) == 1 &&
                     PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                              nullptr) == 1,
                 "PEM_write_bio");
  return key;
}
