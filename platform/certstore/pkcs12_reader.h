#pragma once

// Reading a PKCS#12 (.pfx/.p12) file whatever OpenSSL can decrypt with its legacy provider:
// RC2-40, RC2-128, 3DES and the PBES2 ciphers on any bag, SHA-1 or SHA-256 integrity checks or
// none at all. The bags are decrypted here, in the private legacy context, because the library's
// own PKCS12_parse decrypts key bags in the default context, which has no RC2.
//
// Failures say which of the three things went wrong: the password, an algorithm this program
// cannot use (named), or the content. A file whose integrity check passes with the password is
// never said to have a wrong password. Any thread.

#include <string_view>
#include <vector>

#include "platform/exception.h"
#include "platform/openssl_handles.h"

namespace certstore {

// What the file holds, every object in the default library context.
struct TPkcs12Contents {
  EvpPkeyPtr Key;               // the file's first private key; null when it has none
  X509Ptr Certificate;          // the certificate Key belongs to; null when none does
  std::vector<X509Ptr> Others;  // the other certificates, in file order
};

enum class TPkcs12Failure {
  NotPkcs12,      // not a PKCS#12 structure
  WrongPassword,  // the integrity check, or without one the decryption, refuses the password
  Unsupported,    // an algorithm of the file that OpenSSL does not provide
  Undecryptable,  // the password is right, yet a bag or the key does not decode
};

class TPkcs12Error : public Exception {
 public:
  TPkcs12Error(TPkcs12Failure AKind, Text AMessage)
      : Exception(std::move(AMessage)), FKind(AKind) {}
  TPkcs12Failure Kind() const { return FKind; }

 private:
  TPkcs12Failure FKind;
};

// Opens ABytes with APassword (UTF-8). An empty password also tries the absent one, which
// some tools write instead. Throws TPkcs12Error with a Portuguese message (store_messages.h).
TPkcs12Contents ReadPkcs12(std::string_view ABytes, std::string_view APassword);

}  // namespace certstore
