#include "platform/certstore/certificate_policy.h"

#include <gtest/gtest.h>
#include <openssl/err.h>

#include <string>

#include "tests/support/test_certificates.h"

namespace {

using test_certificates::TCertificateRequest;

TEST(CertificatePolicyTest, RefusesWhatCannotMakeAnNfseSignatureAndSaysWhy) {
  struct Case {
    const char* name;
    TCertificateRequest request;
    const char* reason;  // a piece of the refusal; null: accepted
  };
  const Case kCases[] = {
      {"RSA-2048 end entity as authorities issue them", TCertificateRequest(), nullptr},
      {"RSA-1024", TCertificateRequest().KeyBits(1024),
       "a chave RSA do certificado tem 1024 bits; o mínimo aceito é 2048"},
      {"one bit short of the minimum", TCertificateRequest().KeyBits(2047), "tem 2047 bits"},
      {"EC P-256", TCertificateRequest().EcKey(), "a chave do certificado é EC;"},
      {"CA:TRUE", TCertificateRequest().CaCertificate(), "autoridade certificadora (AC)"},
      {"key usage keyEncipherment only", TCertificateRequest().KeyUsage("keyEncipherment"),
       "nem não repúdio"},
      {"key usage digitalSignature only", TCertificateRequest().KeyUsage("digitalSignature"),
       nullptr},
      {"key usage nonRepudiation only", TCertificateRequest().KeyUsage("nonRepudiation"), nullptr},
      {"no key usage", TCertificateRequest().KeyUsage(""), nullptr},
      {"signed by the CA with MD5", TCertificateRequest().SignedWithMd5(), "com MD5,"},
      {"basicConstraints that does not decode",
       TCertificateRequest().CaCertificate().MalformedBasicConstraints(), "malformadas"},
      // Several faults: the first rule in order is the one named.
      {"EC key of a CA", TCertificateRequest().EcKey().CaCertificate(), "é EC;"},
      {"short key signed with MD5", TCertificateRequest().KeyBits(1024).SignedWithMd5(),
       "1024 bits"},
      {"CA whose key usage is certificate signing only",
       TCertificateRequest().CaCertificate().KeyUsage("keyCertSign"), "autoridade certificadora"},
      {"key usage for another end, signed with MD5",
       TCertificateRequest().KeyUsage("keyEncipherment").SignedWithMd5(), "outro fim"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const auto made = test_certificates::MakeCertificate(c.request);
    ERR_clear_error();
    ERR_raise(ERR_LIB_USER, 42);  // the caller's error, which must stay queued
    const unsigned long callers = ERR_peek_error();
    const std::string refusal = certificate_policy::SigningRefusal(made.certificate.get());
    EXPECT_EQ(ERR_get_error(), callers);
    EXPECT_EQ(ERR_peek_error(), 0u);
    if (c.reason == nullptr) {
      EXPECT_EQ(refusal, "");
    } else {
      EXPECT_NE(refusal.find(c.reason), std::string::npos) << refusal;
      EXPECT_TRUE(refusal[0] >= 'a' && refusal[0] <= 'z') << refusal;  // it follows a colon
    }
  }
}

}  // namespace
