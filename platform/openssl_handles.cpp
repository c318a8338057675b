#include "platform/openssl_handles.h"

#include <openssl/err.h>

#include "platform/exception.h"

namespace openssl {

std::string DrainErrors() {
  std::string texts;
  while (const unsigned long code = ERR_get_error()) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    if (!texts.empty()) texts += "; ";
    texts += buffer;
  }
  return texts;
}

void ThrowError(std::string_view what) {
  std::string message{what};
  const std::string texts = DrainErrors();
  if (!texts.empty()) message += ": " + texts;
  throw Exception(std::string_view{message});
}

X509Ptr UpRef(X509* cert) {
  if (cert && X509_up_ref(cert) != 1) ThrowError("X509_up_ref");
  return X509Ptr{cert};
}

EvpPkeyPtr UpRef(EVP_PKEY* key) {
  if (key && EVP_PKEY_up_ref(key) != 1) ThrowError("EVP_PKEY_up_ref");
  return EvpPkeyPtr{key};
}

}  // namespace openssl
