#pragma once

// Independent checks of signed documents, trusting the test CA: xmlsec's own verification in
// this process, and the xmlsec1 command-line tool on a file. Each returns an empty string when
// the chosen Signature element of the document (the first unless told) verifies, otherwise
// what went wrong.

#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "platform/text.h"

namespace signature_check {

struct TVerifyOptions {
  TVerifyOptions& At(std::time_t AMoment) {
    verificationTime = AMoment;
    return *this;
  }
  TVerifyOptions& IdAttribute(std::string AAttribute, std::string AElement) {
    idAttributes.emplace_back(std::move(AAttribute), std::move(AElement));
    return *this;
  }

  // The signature to verify: its place among the document's Signature elements, from 0.
  TVerifyOptions& Nth(int AIndex) {
    signatureIndex = AIndex;
    return *this;
  }

  std::time_t verificationTime = 0;  // 0: now; set it for expired certificates
  // (attribute, element) pairs that carry IDs, for "#id" references (xmlsec1 --id-attr).
  std::vector<std::pair<std::string, std::string>> idAttributes;
  int signatureIndex = 0;
};

std::string VerifyInProcess(const Text& ASignedXml, const TVerifyOptions& AOptions = {});
std::string VerifyWithXmlsec1(const Text& ASignedXml, const TVerifyOptions& AOptions = {});

// The document's bytes in the encoding its declaration names (UTF-8 or ISO-8859-1).
std::string EncodeAsDeclared(const Text& AXml);

}  // namespace signature_check
