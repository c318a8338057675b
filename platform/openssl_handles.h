#pragma once

// RAII handles for the OpenSSL objects and buffers that the certificate store and the XML
// signer hold, and the one helper that turns a failed OpenSSL call into an exception with the
// library's own texts.

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <string>
#include <string_view>

#include "platform/c_free.h"

using BioPtr = std::unique_ptr<BIO, CFree<BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, CFree<X509_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, CFree<EVP_PKEY_free>>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, CFree<PKCS12_free>>;
using OsslLibCtxPtr = std::unique_ptr<OSSL_LIB_CTX, CFree<OSSL_LIB_CTX_free>>;
using OsslProviderPtr = std::unique_ptr<OSSL_PROVIDER, CFree<OSSL_PROVIDER_unload>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, CFree<EVP_MD_CTX_free>>;
using GeneralNamesPtr = std::unique_ptr<GENERAL_NAMES, CFree<GENERAL_NAMES_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, CFree<X509_STORE_free>>;
using X509StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, CFree<X509_STORE_CTX_free>>;

namespace openssl {

// OPENSSL_free and sk_X509_pop_free are macros: these are the functions the handles free with.
inline void FreeBuffer(void* ABuffer) noexcept { OPENSSL_free(ABuffer); }
inline void FreeX509Stack(STACK_OF(X509) * AStack) noexcept { sk_X509_pop_free(AStack, X509_free); }

}  // namespace openssl

using X509StackPtr = std::unique_ptr<STACK_OF(X509), CFree<openssl::FreeX509Stack>>;
// Buffers OpenSSL allocates for the caller: a DER encoding (i2d_*), the UTF-8 form of an ASN.1
// string (ASN1_STRING_to_UTF8) and the pieces of a PEM block (PEM_read_bio).
using DerBufferPtr = std::unique_ptr<unsigned char, CFree<openssl::FreeBuffer>>;
using Asn1Utf8Ptr = std::unique_ptr<unsigned char, CFree<openssl::FreeBuffer>>;
using PemTextPtr = std::unique_ptr<char, CFree<openssl::FreeBuffer>>;
using PemDataPtr = std::unique_ptr<unsigned char, CFree<openssl::FreeBuffer>>;

namespace openssl {

// Empties this thread's OpenSSL error queue and returns its texts joined by "; ".
std::string DrainErrors();

// Throws Exception "<what>: <queued OpenSSL texts>" (the queue is emptied).
[[noreturn]] void ThrowError(std::string_view what);

// New references to shared, immutable objects.
X509Ptr UpRef(X509* cert);
EvpPkeyPtr UpRef(EVP_PKEY* key);

}  // namespace openssl
