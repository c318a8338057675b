#include "tests/support/signature_check.h"

#include <sys/wait.h>
#include <unistd.h>
#include <xmlsec/crypto.h>
#include <xmlsec/xmltree.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/xmldsig/dom_document.h"
#include "platform/xmldsig/xml_handles.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/test_certificates.h"

namespace fs = std::filesystem;

namespace signature_check {
std::string EncodeAsDeclared(const Text& AXml) {
  const std::size_t end = AXml.find(u"?>");
  if (AXml.rfind(u"<?xml", 0) == 0 && end != Text::npos) {
    const std::string declaration = text::LowerAscii(text::ToUtf8(AXml.substr(0, end)));
    if (declaration.find("iso-8859-1") != std::string::npos ||
        declaration.find("latin1") != std::string::npos) {
      return text::ToLatin1(AXml);
    }
  }
  return text::ToUtf8(AXml);
}

std::string VerifyInProcess(const Text& ASignedXml, const TVerifyOptions& AOptions) {
  IXMLDOMDocument3 dom;
  if (!dom.loadXML(ASignedXml)) return "load: " + text::ToUtf8(dom.parseError());
  TLibraryErrors errors;
  xmlDoc* doc = dom.Handle();
  xmldsig::RegisterIdAttributes(doc);
  xmlNode* node = xmlSecFindNode(xmlDocGetRootElement(doc), xmlSecNodeSignature, xmlSecDSigNs);
  for (int skipped = 0; node && skipped < AOptions.signatureIndex; ++skipped) {
    // The next Signature in document order: after this one's subtree.
    xmlNode* next = nullptr;
    for (xmlNode* at = node; at && !next; at = at->parent) {
      for (xmlNode* sibling = at->next; sibling && !next; sibling = sibling->next) {
        if (sibling->type != XML_ELEMENT_NODE) continue;
        next = xmlSecCheckNodeName(sibling, xmlSecNodeSignature, xmlSecDSigNs)
                   ? sibling
                   : xmlSecFindNode(sibling, xmlSecNodeSignature, xmlSecDSigNs);
      }
    }
    node = next;
  }
  if (!node) return "no Signature element";

  XmlSecKeysMngrPtr manager{xmlSecKeysMngrCreate()};
  if (!manager || xmlSecCryptoAppDefaultKeysMngrInit(manager.get()) < 0) {
    return "keys manager: " + errors.Texts();
  }
  if (xmlSecCryptoAppKeysMngrCertLoad(manager.get(), test_certificates::CaPemPath().c_str(),
                                      xmlSecKeyDataFormatPem, xmlSecKeyDataTypeTrusted) < 0) {
    return "CA load: " + errors.Texts();
  }
  DsigCtxPtr ctx{xmlSecDSigCtxCreate(manager.get())};
  if (!ctx) return "dsig context: " + errors.Texts();
  ctx->keyInfoReadCtx.certsVerificationTime = AOptions.verificationTime;
  if (xmlSecDSigCtxVerify(ctx.get(), node) < 0) return "verify: " + errors.Texts();
  if (ctx->status != xmlSecDSigStatusSucceeded) return "signature invalid: " + errors.Texts();
  return {};
}

std::string VerifyWithXmlsec1(const Text& ASignedXml, const TVerifyOptions& AOptions) {
  const TScratchDirectory directory("assinador-verify");
  const fs::path file = directory / "signed.xml";
  {
    std::ofstream out(file, std::ios::binary);
    out << EncodeAsDeclared(ASignedXml);
  }
  std::string command =
      "/usr/bin/xmlsec1 --verify --trusted-pem '" + test_certificates::CaPemPath().string() + "'";
  if (AOptions.verificationTime != 0) {
    std::tm local{};
    localtime_r(&AOptions.verificationTime, &local);
    char moment[32];
    std::strftime(moment, sizeof moment, "%Y-%m-%d %H:%M:%S", &local);
    command += std::string(" --verification-time '") + moment + "'";
  }
  if (AOptions.signatureIndex > 0) {
    command +=
        " --node-xpath \"(//*[local-name()='Signature' and namespace-uri()="
        "'http://www.w3.org/2000/09/xmldsig#'])[" +
        std::to_string(AOptions.signatureIndex + 1) + "]\"";
  }
  for (const auto& [attribute, element] : AOptions.idAttributes) {
    command += " --id-attr:" + attribute + " " + element;
  }
  command += " '" + file.string() + "' 2>&1";
  std::string output;
  int status = -1;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    std::array<char, 512> chunk{};
    while (std::fgets(chunk.data(), static_cast<int>(chunk.size()), pipe)) output += chunk.data();
    status = pclose(pipe);
  }
  if (status == 0 && output.find("OK") != std::string::npos) return {};
  return "xmlsec1 exit " + std::to_string(status) + ": " + output;
}

}  // namespace signature_check
