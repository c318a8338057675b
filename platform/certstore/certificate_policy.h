#pragma once

// Which certificates may make an NFS-e signature, or be trusted for one: checked before
// signing, so that a certificate no verifier should accept is refused here, with its reason,
// rather than after the document has reached the municipality.

#include <openssl/x509.h>

#include <string>

namespace certificate_policy {

// Why ACertificate (not null) may not sign an NFS-e document, as a Portuguese phrase in UTF-8
// that starts in lower case and follows a colon in the caller's message; empty when it may.
// The first rule broken is the one named:
//   - a key that is not RSA ("a chave do certificado é EC; só chaves RSA são usadas nas NFS-e");
//   - an RSA key below kMinimumRsaBits;
//   - extensions that do not decode (nothing could be said of the rules below);
//   - a certificate authority's certificate (basicConstraints CA:TRUE);
//   - a key usage without digitalSignature and without nonRepudiation (no key usage at all is
//     accepted);
//   - a certificate the authority signed with MD5 or MD2.
// Reads the certificate only; leaves the OpenSSL error queue as it found it.
std::string SigningRefusal(X509* ACertificate);

inline constexpr int kMinimumRsaBits = 2048;

}  // namespace certificate_policy
