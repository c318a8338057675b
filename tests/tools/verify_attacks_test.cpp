// "verificar" of assinador-nfse-cli on signed documents an attacker reshaped: signed elements
// moved where their digests still hold, content left outside every signature, algorithms
// outside the signing profile, certificates that may not sign and a look-alike certificate.

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/openssl_handles.h"
#include "tests/tools/cli_fixture.h"

namespace {

using test_certificates::TCertificateRequest;

// kDocument with a signature template beside the element it names, as client tools send it.
const std::string kTemplate =
    "<nfse><inf Id=\"n1\"><Discriminacao>Serviço de manutenção</Discriminacao></inf>"
    "<Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><SignedInfo>"
    "<CanonicalizationMethod Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/>"
    "<SignatureMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#rsa-sha1\"/>"
    "<Reference URI=\"#n1\"><Transforms>"
    "<Transform Algorithm=\"http://www.w3.org/2000/09/xmldsig#enveloped-signature\"/>"
    "<Transform Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/></Transforms>"
    "<DigestMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#sha1\"/><DigestValue/>"
    "</Reference></SignedInfo><SignatureValue/><KeyInfo><X509Data/></KeyInfo></Signature>"
    "</nfse>";

const std::string kC14n =
    "<Transform Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/>";
const std::string kSha1 = "<DigestMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#sha1\"/>";
// Four nested scans of every element: evaluated over a signed batch, it would run for minutes.
const std::string kCostlyPath = "//*[count(//*[count(//*[count(//*)&gt;0])&gt;0])&gt;0]";

std::string Replaced(std::string AText, const std::string& AFrom, const std::string& ATo) {
  const std::size_t at = AText.find(AFrom);
  if (at == std::string::npos) {
    ADD_FAILURE() << "não encontrado: " << AFrom;
    return AText;
  }
  return AText.replace(at, AFrom.size(), ATo);
}

// Where the element AOpen starts begins and ends, AClose included (elements of that name never
// nest).
std::pair<std::size_t, std::size_t> Span(const std::string& AText, const std::string& AOpen,
                                         const std::string& AClose) {
  const std::size_t start = AText.find(AOpen);
  const std::size_t end = AText.find(AClose, start);
  if (start == std::string::npos || end == std::string::npos) {
    ADD_FAILURE() << "não encontrado: " << AOpen;
    return {0, 0};
  }
  return {start, end + AClose.size()};
}

// The batch's own signature: the last one, after the batch's element.
std::pair<std::size_t, std::size_t> BatchSignature(const std::string& ABatch) {
  const std::size_t start = ABatch.rfind("<Signature xmlns");
  const std::string close = "</Signature>";
  return {start, ABatch.rfind(close) + close.size()};
}

// ABatch with AFrom replaced by ATo inside the batch's signature only.
std::string InBatchSignature(const std::string& ABatch, const std::string& AFrom,
                             const std::string& ATo) {
  const auto [start, end] = BatchSignature(ABatch);
  return ABatch.substr(0, start) + Replaced(ABatch.substr(start, end - start), AFrom, ATo) +
         ABatch.substr(end);
}

// The signed element AName with Id AId moved into a new <Envelope> where it stood, and in its
// old place a copy with AChange made and the Id attribute written as ANewId (empty: none).
std::string Wrapped(const std::string& ASigned, const std::string& AName, const std::string& AId,
                    const std::string& ANewId, const std::pair<std::string, std::string>& AChange) {
  const std::string idAttribute = " Id=\"" + AId + "\"";
  const auto [start, end] = Span(ASigned, "<" + AName + idAttribute, "</" + AName + ">");
  const std::string original = ASigned.substr(start, end - start);
  const std::string copy =
      Replaced(Replaced(original, idAttribute, ANewId), AChange.first, AChange.second);
  return ASigned.substr(0, start) + copy + "<Envelope>" + original + "</Envelope>" +
         ASigned.substr(end);
}

// The first bytes of the certificate's SHA-256 fingerprint, as "verificar" shows them.
std::string FingerprintOf(const std::filesystem::path& APem) {
  const BioPtr bio{BIO_new_file(APem.c_str(), "r")};
  const X509Ptr certificate{bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)
                                : nullptr};
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!certificate || X509_digest(certificate.get(), EVP_sha256(), digest, &length) != 1) {
    ADD_FAILURE() << "certificado ilegível: " << APem;
    return {};
  }
  std::string out;
  char hex[3];
  for (unsigned int k = 0; k < 8 && k < length; ++k) {
    std::snprintf(hex, sizeof hex, "%02X", digest[k]);
    out += hex;
  }
  return out;
}

class VerifyAttacksTest : public CliTest {
 protected:
  // AInput signed by "assinar" with the store's certificate.
  std::string SignWithCli(const std::string& AInput, const std::string& AName) {
    Write("entrada-" + AName, AInput);
    const TRun run = Run("assinar entrada-" + AName + " --serie " + FSerial + " --saida " + AName);
    EXPECT_EQ(run.status, 0) << run.err;
    return Read(AName);
  }

  // The ABRASF batch: three RPS with their signatures, then the batch's over LoteRps.
  std::string SignedBatch() {
    return SignWithCli(TScratchDirectory::ReadBytes(std::filesystem::path(ASSINADOR_TEST_DATA) /
                                                    "nfse_lote_abrasf.xml"),
                       "lote.xml");
  }

  // kTemplate signed by xmlsec1 with the key and certificate of APem, as a tool that never asks
  // whether the certificate may sign.
  std::string SignWithXmlsec1(const std::filesystem::path& APem, const std::string& AName) {
    Write("modelo.xml", kTemplate);
    const std::string pem = "'" + APem.string() + "'";
    const std::string command = "xmlsec1 --sign --privkey-pem " + pem + "," + pem +
                                " --id-attr:Id inf --output '" + Path(AName) + "' '" +
                                Path("modelo.xml") + "' >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return Read(AName);
  }

  // A certificate with the subject and serial of the store's one, issued by a CA of the same
  // name with another key; its file holds the certificate and the key.
  std::filesystem::path LookAlike() {
    Write("falsa.cnf",
          "[titular]\nbasicConstraints=CA:FALSE\n"
          "keyUsage=critical,digitalSignature,nonRepudiation,keyEncipherment\n");
    const std::string commands =
        "cd '" + FDir.Path().string() +
        "' && openssl req -x509 -newkey rsa:2048 -nodes -days 30"
        " -subj '/O=Assinador NFS-e Testes/CN=" +
        test_certificates::kCaCommonName +
        "' -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign"
        " -keyout falsa-ac.key -out falsa-ac.pem"
        " && openssl req -new -newkey rsa:2048 -nodes -subj '/C=BR/CN=EMPRESA EXEMPLO LTDA'"
        " -keyout falsa.key -out falsa.csr"
        " && openssl x509 -req -in falsa.csr -CA falsa-ac.pem -CAkey falsa-ac.key -set_serial 0x" +
        FSerial +
        " -days 30 -extfile falsa.cnf -extensions titular -out falsa.crt"
        " && cat falsa.crt falsa.key > falsa.pem";
    EXPECT_EQ(std::system(("(" + commands + ") >/dev/null 2>&1").c_str()), 0) << commands;
    return FDir / "falsa.pem";
  }

  std::string CaPath() { return test_certificates::CaPemPath().string(); }
};

TEST_F(VerifyAttacksTest, ReshapedSignedDocumentsAreRefusedWithTheirReason) {
  const std::string batch = SignedBatch();
  const std::string whole = SignWithCli(kDocument, "inteiro.xml");
  const std::string bySibling = SignWithXmlsec1(FStore.Directory() / "empresa.pem", "xmlsec1.xml");
  const auto signedBy = [&](const TCertificateRequest& AWanted) {
    return SignWithXmlsec1(FStore.Add(AWanted), "fraco-" + AWanted.fileName + ".xml");
  };
  const std::filesystem::path lookAlikePem = LookAlike();
  const std::string lookAlike = SignWithXmlsec1(lookAlikePem, "falsa.xml");

  const std::pair<std::string, std::string> rpsValue{"2500.00", "25.00"};
  const std::pair<std::string, std::string> batchNumber{"<NumeroLote>1<", "<NumeroLote>9<"};
  const auto [batchSigStart, batchSigEnd] = BatchSignature(batch);
  const std::string unsignedBatch = batch.substr(0, batchSigStart) + batch.substr(batchSigEnd);
  const std::string withUnsignedRps =
      Replaced(unsignedBatch, "</ListaRps>",
               "<Rps><InfDeclaracaoPrestacaoServico Id=\"rps4\"><Competencia>2024-03-01"
               "</Competencia></InfDeclaracaoPrestacaoServico></Rps></ListaRps>");
  const std::string wrappedRoot =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Envelope>Pague à conta 999"
      "<NumeroLote>2</NumeroLote>" +
      batch.substr(batch.find("<EnviarLoteRpsEnvio")) + "</Envelope>";
  const auto [rps2Start, rps2End] =
      Span(batch, "<InfDeclaracaoPrestacaoServico Id=\"rps2\"", "</InfDeclaracaoPrestacaoServico>");
  const std::string rps2 = batch.substr(rps2Start, rps2End - rps2Start);
  const std::string rps2UnderRoot =
      Replaced(batch.substr(0, rps2Start) +
                   Replaced(Replaced(rps2, " Id=\"rps2\"", ""), rpsValue.first, rpsValue.second) +
                   batch.substr(rps2End),
               "</EnviarLoteRpsEnvio>", "<Envelope>" + rps2 + "</Envelope></EnviarLoteRpsEnvio>");
  const auto [wholeSigStart, wholeSigEnd] = Span(whole, "<Signature xmlns", "</Signature>");
  const std::string objectFirst = Replaced(
      whole.substr(0, wholeSigStart) + whole.substr(wholeSigEnd), "<nfse>",
      "<nfse>" +
          Replaced(whole.substr(wholeSigStart, wholeSigEnd - wholeSigStart), "</Signature>",
                   "<Object><inf><Discriminacao>Serviço gratuito</Discriminacao></inf></Object>"
                   "</Signature>"));
  const auto withTransform = [&](const std::string& ATransform) {
    return InBatchSignature(batch, kC14n, ATransform);
  };

  const std::string ac = " --ac '" + CaPath() + "'";
  const std::string rps2Line = "assinatura 2 de 4 (Id rps2: ";
  const std::string batchLine = "assinatura 4 de 4";
  const std::string misplaced =
      "inválida: a assinatura não é aceita: o elemento assinado não está onde o documento o "
      "mostra (ao lado da assinatura ou envolvendo-a), está em ";
  const std::string repeated =
      "inválida: a assinatura não é aceita: o identificador aparece em mais de um elemento do "
      "documento (ou em formas parecidas): ";
  const std::string refused = "inválida: a assinatura não é aceita: ";
  const std::string unfit =
      "assinatura 1 de 1 (Id n1: inf em /nfse/inf): íntegra, mas não aceita: o certificado não "
      "serve para assinar NFS-e: ";
  const std::string uncovered = "conteúdo fora de qualquer assinatura: ";
  const std::string changed = "foi alterado depois de assinado";
  const std::string holder =
      "assinatura 1 de 1 (Id n1: inf em /nfse/inf): válida; certificado "
      "EMPRESA EXEMPLO LTDA, série " +
      FSerial + ", emitido por " + test_certificates::kCaCommonName;

  struct Case {
    const char* name;
    std::string document;
    std::string options;  // after the file's name
    int status;
    std::string line;    // the start of the line in question (or lines, for uncovered content)
    std::string phrase;  // what that line says; empty: the line itself is the point
    std::vector<std::string> absent = {};  // what the output says nowhere
  };
  const Case cases[] = {
      // What the signers write still verifies, strictly.
      {"the signed batch",
       batch,
       ac + " --estrito",
       0,
       "assinatura 4 de 4 (Id lote1: LoteRps em /EnviarLoteRpsEnvio/LoteRps): válida",
       "; cadeia confiável",
       {uncovered}},
      {"a whole-document signature",
       whole,
       ac + " --estrito",
       0,
       "assinatura 1 de 1 (documento inteiro): válida",
       "; cadeia confiável",
       {uncovered}},
      {"xmlsec1's signature beside the element",
       bySibling,
       ac + " --estrito",
       0,
       "assinatura 1 de 1 (Id n1: inf em /nfse/inf): válida",
       "; cadeia confiável",
       {uncovered}},

      // The signed RPS moved into a wrapper, an altered copy in its place.
      {"RPS copy without Id", Wrapped(batch, "InfDeclaracaoPrestacaoServico", "rps2", "", rpsValue),
       ac, 1, rps2Line,
       misplaced + "/EnviarLoteRpsEnvio/LoteRps/ListaRps/Rps[2]/Envelope/"
                   "InfDeclaracaoPrestacaoServico (#rps2)"},
      {"RPS copy with the Id in blanks",
       Wrapped(batch, "InfDeclaracaoPrestacaoServico", "rps2", " Id=\" rps2\"", rpsValue), ac, 1,
       rps2Line, repeated + "rps2"},
      {"RPS copy with the Id in capitals",
       Wrapped(batch, "InfDeclaracaoPrestacaoServico", "rps2", " Id=\"RPS2\"", rpsValue), ac, 1,
       rps2Line, repeated + "rps2"},
      {"RPS copy with the Id in another namespace",
       Wrapped(batch, "InfDeclaracaoPrestacaoServico", "rps2",
               " x:Id=\"rps2\" xmlns:x=\"urn:outro\"", rpsValue),
       ac, 1, rps2Line, repeated + "rps2"},
      {"RPS moved under the root", rps2UnderRoot, ac, 1, rps2Line,
       misplaced + "/EnviarLoteRpsEnvio/Envelope/InfDeclaracaoPrestacaoServico (#rps2)"},

      // The signed batch moved into a wrapper, an altered copy in its place.
      {"batch copy without Id", Wrapped(batch, "LoteRps", "lote1", "", batchNumber), ac, 1,
       "(Id lote1: LoteRps em /EnviarLoteRpsEnvio/Envelope/LoteRps)",
       misplaced + "/EnviarLoteRpsEnvio/Envelope/LoteRps (#lote1)"},
      {"batch copy with the Id in blanks",
       Wrapped(batch, "LoteRps", "lote1", " Id=\"lote1 \"", batchNumber), ac, 1,
       "(Id lote1: LoteRps em /EnviarLoteRpsEnvio/Envelope/LoteRps)", repeated + "lote1"},
      {"batch copy with the Id in capitals",
       Wrapped(batch, "LoteRps", "lote1", " Id=\"LOTE1\"", batchNumber), ac, 1,
       "(Id lote1: LoteRps em /EnviarLoteRpsEnvio/Envelope/LoteRps)", repeated + "lote1"},
      {"batch copy with the Id in another namespace",
       Wrapped(batch, "LoteRps", "lote1", " x:Id=\"lote1\" xmlns:x=\"urn:outro\"", batchNumber), ac,
       1, "(Id lote1: LoteRps em /EnviarLoteRpsEnvio/Envelope/LoteRps)", repeated + "lote1"},

      // Whatever an Object holds would read as signed: the enveloped transform leaves it out.
      {"whole-document signature first, with an Object", objectFirst, ac, 1, "assinatura 1 de 1 (",
       refused + "elemento não aceito na assinatura: Object"},

      // Content no signature covers.
      {"unsigned RPS in a batch without its signature", withUnsignedRps, ac, 0,
       uncovered + "/EnviarLoteRpsEnvio/LoteRps/ListaRps/Rps[4]\n", ""},
      {"unsigned RPS, strictly", withUnsignedRps, ac + " --estrito", 1,
       uncovered + "/EnviarLoteRpsEnvio/LoteRps/ListaRps/Rps[4]\n", ""},
      {"batch signature removed",
       unsignedBatch,
       ac,
       0,
       uncovered + "/EnviarLoteRpsEnvio/LoteRps/NumeroLote\n" + uncovered +
           "/EnviarLoteRpsEnvio/LoteRps/CpfCnpj\n" + uncovered +
           "/EnviarLoteRpsEnvio/LoteRps/InscricaoMunicipal\n" + uncovered +
           "/EnviarLoteRpsEnvio/LoteRps/QuantidadeRps\n",
       "",
       {uncovered + "/EnviarLoteRpsEnvio/LoteRps/ListaRps"}},
      {"batch signature removed, strictly", unsignedBatch, ac + " --estrito", 1,
       uncovered + "/EnviarLoteRpsEnvio/LoteRps/NumeroLote\n", ""},
      {"new root around the signed batch", wrappedRoot, ac, 0,
       uncovered + "/Envelope/text()\n" + uncovered + "/Envelope/NumeroLote\n", ""},
      {"new root around the signed batch, strictly",
       wrappedRoot,
       ac + " --estrito",
       1,
       "assinatura 4 de 4 (Id lote1: LoteRps em /Envelope/EnviarLoteRpsEnvio/LoteRps): válida",
       "",
       {}},

      // References and transforms outside the profile are refused before anything runs.
      {"XPointer reference to an Id",
       InBatchSignature(batch, "URI=\"#lote1\"", "URI=\"#xpointer(id('lote1'))\""),
       ac,
       1,
       batchLine,
       refused + "referência não aceita: #xpointer(id('lote1')) (XPointer)",
       {changed}},
      {"XPointer reference to the document",
       InBatchSignature(batch, "URI=\"#lote1\"", "URI=\"#xpointer(/)\""),
       ac,
       1,
       batchLine,
       refused + "referência não aceita: #xpointer(/) (XPointer)",
       {changed}},
      {"costly XPointer reference",
       InBatchSignature(batch, "URI=\"#lote1\"", "URI=\"#xpointer(" + kCostlyPath + ")\""),
       ac,
       1,
       batchLine,
       refused + "referência não aceita: #xpointer(//*[count(",
       {changed}},
      {"reference outside the document",
       InBatchSignature(batch, "URI=\"#lote1\"", "URI=\"http://127.0.0.1:9/lote.xml\""),
       ac,
       1,
       batchLine,
       refused + "referência não aceita: http://127.0.0.1:9/lote.xml (fora do documento)",
       {changed}},
      {"costly XPointer transform",
       withTransform("<Transform Algorithm=\"http://www.w3.org/2001/04/xmldsig-more/xptr\">"
                     "<XPointer xmlns=\"http://www.w3.org/2001/04/xmldsig-more/xptr\">xpointer(" +
                     kCostlyPath + ")</XPointer></Transform>"),
       ac,
       1,
       batchLine,
       refused + "transformação não aceita: XPointer (http://www.w3.org/2001/04/xmldsig-more/xptr)",
       {changed}},
      {"XPath transform",
       withTransform("<Transform Algorithm=\"http://www.w3.org/TR/1999/REC-xpath-19991116\">"
                     "<XPath>not(ancestor-or-self::NumeroLote)</XPath></Transform>"),
       ac,
       1,
       batchLine,
       refused + "transformação não aceita: XPath (http://www.w3.org/TR/1999/REC-xpath-19991116)",
       {changed}},
      {"XPath Filter 2 transform",
       withTransform("<Transform Algorithm=\"http://www.w3.org/2002/06/xmldsig-filter2\">"
                     "<XPath xmlns=\"http://www.w3.org/2002/06/xmldsig-filter2\" "
                     "Filter=\"subtract\">//*[local-name()='NumeroLote']</XPath></Transform>"),
       ac,
       1,
       batchLine,
       refused +
           "transformação não aceita: XPath Filter 2 (http://www.w3.org/2002/06/xmldsig-filter2)",
       {changed}},
      {"XSLT transform",
       withTransform("<Transform Algorithm=\"http://www.w3.org/TR/1999/REC-xslt-19991116\">"
                     "<xsl:stylesheet xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\" "
                     "version=\"1.0\"><xsl:template match=\"/\">lote</xsl:template>"
                     "</xsl:stylesheet></Transform>"),
       ac,
       1,
       batchLine,
       refused + "transformação não aceita: XSLT (http://www.w3.org/TR/1999/REC-xslt-19991116)",
       {changed}},
      {"base64 transform",
       withTransform("<Transform Algorithm=\"http://www.w3.org/2000/09/xmldsig#base64\"/>"),
       ac,
       1,
       batchLine,
       refused + "transformação não aceita: base64 (http://www.w3.org/2000/09/xmldsig#base64)",
       {changed}},
      {"MD5 digest",
       InBatchSignature(batch, kSha1,
                        "<DigestMethod Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#md5\"/>"),
       ac,
       1,
       batchLine,
       refused + "método de resumo não aceito: MD5 (http://www.w3.org/2001/04/xmldsig-more#md5)",
       {changed}},
      {"RSA-MD5 signature method",
       InBatchSignature(batch, "http://www.w3.org/2000/09/xmldsig#rsa-sha1",
                        "http://www.w3.org/2001/04/xmldsig-more#rsa-md5"),
       ac,
       1,
       batchLine,
       refused + "método de assinatura não aceito: RSA-MD5 "
                 "(http://www.w3.org/2001/04/xmldsig-more#rsa-md5)",
       {changed}},

      // Intact signatures whose certificate may not sign, even with a trusted chain.
      {"RSA key of 1024 bits", signedBy(TCertificateRequest("curta.pem").KeyBits(1024)), ac, 1,
       unfit, "a chave RSA do certificado tem 1024 bits"},
      {"certificate signed with MD5", signedBy(TCertificateRequest("md5.pem").SignedWithMd5()), ac,
       1, unfit, "o certificado foi assinado pela AC com MD5"},
      {"TLS server certificate",
       signedBy(TCertificateRequest("servidor.pem").KeyUsage("critical,keyEncipherment")), ac, 1,
       unfit, "o uso da chave do certificado não inclui assinatura digital nem não repúdio"},
      {"CA certificate", signedBy(TCertificateRequest("ac.pem").CaCertificate()), ac, 1, unfit,
       "o certificado é de uma autoridade certificadora (AC)"},

      // A look-alike reads like the genuine certificate but for its fingerprint, and only the
      // chain tells them apart.
      {"genuine certificate without anchors", bySibling, "", 0, holder,
       ", SHA-256 " + FingerprintOf(FStore.Directory() / "empresa.pem") +
           "; cadeia não verificada (use --ac)"},
      {"look-alike certificate without anchors", lookAlike, "", 0, holder,
       ", SHA-256 " + FingerprintOf(lookAlikePem) + "; cadeia não verificada (use --ac)"},
      {"look-alike certificate with anchors", lookAlike, ac, 1,
       "assinatura 1 de 1 (Id n1: inf em /nfse/inf): íntegra, mas não aceita: ",
       "a cadeia do certificado não chega a uma AC confiável"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Write("caso.xml", c.document);
    const auto start = std::chrono::steady_clock::now();
    const TRun run = Run("verificar caso.xml" + c.options);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find(c.line), std::string::npos) << run.out;
    EXPECT_NE(LineWith(run.out, c.line).find(c.phrase), std::string::npos) << run.out;
    for (const std::string& absent : c.absent)
      EXPECT_EQ(run.out.find(absent), std::string::npos) << absent << "\n" << run.out;
    // Nothing of an attacker's expressions runs: the answer never waits on them.
    EXPECT_LT(elapsed, std::chrono::seconds(5));
  }
  EXPECT_NE(FingerprintOf(lookAlikePem), FingerprintOf(FStore.Directory() / "empresa.pem"));
}

// A signature refused for its form was never read: its line must not say it covers the whole
// document when its reference named an element.
TEST_F(VerifyAttacksTest, ARefusedSignatureClaimsNoCoverage) {
  const std::string batch = SignedBatch();
  const std::pair<std::string, std::string> edits[] = {
      {"URI=\"#lote1\"", "URI=\"#xpointer(id('lote1'))\""},
      {kC14n, "<Transform Algorithm=\"http://www.w3.org/2000/09/xmldsig#base64\"/>"},
  };
  for (const auto& [from, to] : edits) {
    SCOPED_TRACE(to);
    Write("caso.xml", InBatchSignature(batch, from, to));
    const TRun run = Run("verificar caso.xml");
    EXPECT_EQ(run.status, 1);
    const std::string line = LineWith(run.out, "assinatura 4 de 4");
    EXPECT_NE(line.find("inválida: a assinatura não é aceita: "), std::string::npos) << run.out;
    EXPECT_EQ(line.find("documento inteiro"), std::string::npos) << line;
    // A plain reference is still named, with its element and place.
    if (to.find("base64") != std::string::npos) {
      EXPECT_NE(line.find("(Id lote1: LoteRps em /EnviarLoteRpsEnvio/LoteRps)"), std::string::npos)
          << line;
    }
  }
}

}  // namespace
