#pragma once

// RAII handles for the OpenSSL objects the certificate store and the XML signer hold, and the
// one helper that turns a failed OpenSSL call into an exception with the library's own texts.

#include <memory>
#include <string>
#include <string_view>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include "platform/c_free.h"

using BioPtr = std::unique_ptr<BIO, CFree<BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, CFree<X509_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, CFree<EVP_PKEY_free>>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, CFree<PKCS12_free>>;
using OsslLibCtxPtr = std::unique_ptr<OSSL_LIB_CTX, CFree<OSSL_LIB_CTX_free>>;

struct X509StackFree {
  void operator()(STACK_OF(X509) * s) const noexcept { sk_X509_pop_free(s, X509_free); }
};
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackFree>;

namespace openssl {

// Empties this thread's OpenSSL error queue and returns its texts joined by "; ".
std::string DrainErrors();

// Throws Exception "<what>: <queued OpenSSL texts>" (the queue is emptied).
[[noreturn]] void ThrowError(std::string_view what);

// New references to shared, immutable objects.
X509Ptr UpRef(X509* cert);
EvpPkeyPtr UpRef(EVP_PKEY* key);

}  // namespace openssl
