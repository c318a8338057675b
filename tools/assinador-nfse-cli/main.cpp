// assinador-nfse-cli: lists the certificate store and signs NFS-e documents in-process, through
// the same service that remote clients call; the commands that ask a signing server
// (remote_commands.h) and those that change the store (store_commands.h) live beside it.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "build_info.h"
#include "platform/c_free.h"
#include "platform/certstore/store.h"
#include "platform/diagnostics.h"
#include "platform/exception.h"
#include "platform/sys/date_time_text.h"
#include "platform/sys/system_error_text.h"
#include "platform/xmldsig/library_scope.h"
#include "server/classes/certificados_conf.h"
#include "server/classes/digital_certificate.h"
#include "server/service/sm_sign_service.h"
#include "tools/assinador-nfse-cli/certificate_table.h"
#include "tools/assinador-nfse-cli/command_line.h"
#include "tools/assinador-nfse-cli/console.h"
#include "tools/assinador-nfse-cli/document_encoding.h"
#include "tools/assinador-nfse-cli/output_file.h"
#include "tools/assinador-nfse-cli/password_command.h"
#include "tools/assinador-nfse-cli/pin_prompt.h"
#include "tools/assinador-nfse-cli/remote_commands.h"
#include "tools/assinador-nfse-cli/store_commands.h"
#include "tools/assinador-nfse-cli/validity_notes.h"
#include "tools/assinador-nfse-cli/verify_command.h"

namespace {

constexpr int kUsage = 2;

std::string ReadInput(const std::string& AInput) {
  using FilePtr = std::unique_ptr<std::FILE, CFree<std::fclose>>;
  FilePtr opened;
  if (AInput != "-") {
    opened.reset(std::fopen(AInput.c_str(), "rb"));
    if (!opened)
      throw Exception(sys::ErrorMessage("Não foi possível abrir \"" + AInput + "\"", errno));
  }
  std::FILE* stream = opened ? opened.get() : stdin;
  std::string bytes;
  // A file's size sizes the text at once; a pipe grows it as it comes.
  struct stat info {};
  if (::fstat(::fileno(stream), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
    bytes.reserve(static_cast<std::size_t>(info.st_size));
  char buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, stream)) > 0) bytes.append(buffer, n);
  if (std::ferror(stream) != 0)
    throw Exception(sys::ErrorMessage("Não foi possível ler \"" + AInput + "\"", errno));
  return bytes;
}

// Signs one document. Returns an empty text on success, else the text that says why not: a
// failure to sign names the file and the certificate (AShownSerial), one to write names the
// output.
Text SignOne(TSMSignService& AService, const Text& ASerial, const Text& AShownSerial,
             const TCommandLine& ALine, const std::string& AInput) {
  std::string bytes;
  try {
    TDecodedDocument document = DecodeDocument(ReadInput(AInput));
    const Text result = AService.SignDocument(document.Content, ASerial);
    switch (SignOutcomeOf(result)) {
      case TSignOutcome::Logged:
        return SigningFailure(
            AInput, AShownSerial,
            u"O serviço não devolveu o documento; o erro foi registrado no arquivo de log.");
      case TSignOutcome::ErrorText:
        return SigningFailure(AInput, AShownSerial, ForPeople(result, document.Content));
      case TSignOutcome::Signed:
        break;
    }
    Text().swap(document.Content);  // released before the output is encoded
    bytes = EncodeDocument(result, document.Encoding);
  } catch (const std::exception& e) {
    return SigningFailure(AInput, AShownSerial, MessageOf(e));
  }
  try {
    const std::filesystem::path output = OutputOf(ALine, AInput);
    if (output.empty()) {
      Write(stdout, bytes);
      if (::isatty(STDOUT_FILENO)) Write(stdout, "\n");  // for the prompt; never in a file
    } else {
      if (ALine.OutputDir) std::filesystem::create_directories(*ALine.OutputDir);
      WriteOutputFile(output, bytes);
    }
    return {};
  } catch (const std::exception& e) {
    return MessageOf(e);
  }
}

Text LocalDate(std::time_t AMoment) {
  std::tm local{};
  localtime_r(&AMoment, &local);
  return sys::FormatDateTime(local, 0);
}

// Said once, before the first file: the signatures are made all the same.
void WarnOfValidity(const Text& ASerial) {
  ICertificate2Ptr certificate;
  try {
    certificate = TDigitalCertificate().getCertificateBySerial(ASerial);
  } catch (const std::exception&) {
    return;  // each file's failure will say why
  }
  if (!certificate) return;
  const std::time_t now = std::time(nullptr);
  const TValidity validity = ValidityAt(certificate->ValidFrom(), certificate->ValidTo(), now);
  const Text warning =
      SigningWarning(validity, certificate->SerialNumber(),
                     certificate->GetInfo(CAPICOM_CERT_INFO_SUBJECT_SIMPLE_NAME),
                     LocalDate(validity == TValidity::Expired ? certificate->ValidTo()
                                                              : certificate->ValidFrom()));
  if (!warning.empty()) Report(stderr, warning);
}

int Sign(const TCommandLine& ALine) {
  UsePinSource(ALine);
  TSMSignService service;
  const Text serial = text::FromLocale(*ALine.Serial);
  const Text shownSerial = text::FromLocale(TCertificadosConf::Normalize(*ALine.Serial));
  WarnOfValidity(serial);
  TSigningReport report(ALine.Inputs.size());
  for (std::size_t i = 0; i < ALine.Inputs.size(); ++i) {
    const std::string& input = ALine.Inputs[i];
    report.Starting(i, input);
    const Text failure = SignOne(service, serial, shownSerial, ALine, input);
    report.Finished(input, OutputOf(ALine, input).string(), failure);
  }
  return report.End();
}

int ListCertificates(const TCommandLine& ALine) {
  // A store folder that is not there lists nothing; say where it was looked for.
  const std::filesystem::path folder = certstore::PersonalStoreDirectory();
  const bool folderThere = std::filesystem::is_directory(folder);
  if (!folderThere)
    Report(stderr, "Pasta do repositório de certificados não encontrada: " + folder.string());
  // Files of the store it cannot use, and token modules that did not load, are told as they are
  // met (the journal of a server says the same).
  diagnostics::SetReportHook(
      [](TextView, TextView AMessage, diagnostics::TReportKind) { Report(stderr, AMessage); });
  if (ALine.Raw) {
    Write(stdout, text::ToLocale(TSMSignService().getListCertificate()) + "\n");
    return 0;
  }
  const std::vector<Text> entries = TDigitalCertificate().getListSerialNumber();
  // The entry of a serial is its last certificate in the store, as the list keeps it.
  std::map<Text, ICertificate2Ptr> bySerial;
  IStore3 store;
  store.Open(CAPICOM_CURRENT_USER_STORE, CAPICOM_MY_STORE, CAPICOM_STORE_OPEN_MAXIMUM_ALLOWED);
  const ICertificates2 certificates = store.Certificates();
  for (int i = 1; i <= certificates.Count(); ++i) {
    const ICertificate2Ptr certificate = certificates.Item(i);
    bySerial[certificate->SerialNumber()] = certificate;
  }
  const std::time_t now = std::time(nullptr);
  std::vector<TCertificateRow> rows;
  for (const Text& entry : entries) {
    TCertificateRow& row = rows.emplace_back();
    row.Listed = ParseListEntry(entry);
    if (const auto found = bySerial.find(row.Listed.Serial); found != bySerial.end())
      row.Validity = ValidityAt(found->second->ValidFrom(), found->second->ValidTo(), now);
  }
  if (rows.empty() && folderThere)
    Report(stderr, "Nenhum certificado no repositório " + folder.string() + ".");
  Write(stdout, text::ToLocale(CertificateTable(rows)));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<TXmlLibraryScope> libraries;  // first built, last released
  try {
    libraries.emplace();
  } catch (const std::exception& e) {
    Report(stderr, MessageOf(e));
    return kExitFailure;
  }
  std::setlocale(LC_ALL, "");
  TCommandLine line;
  try {
    line = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    RefuseOverwritingInputs(line);
  } catch (const TUsageError& e) {
    Report(stderr, std::string("assinador-nfse-cli: ") + e.what() +
                       "\nUse \"assinador-nfse-cli --help\" para ver as opções.");
    return kUsage;
  }
  try {
    if (line.Command == TCommand::Help) {
      Write(stdout, text::ToLocale(text::FromUtf8(kHelpText)));
      return 0;
    }
    if (line.Command == TCommand::Version) {
      Write(stdout, std::string("assinador-nfse-cli ") + build_info::kProjectVersion + "\n");
      return 0;
    }
    switch (line.Command) {
      case TCommand::Sign:
        return Sign(line);
      case TCommand::RemoteListCertificates:
        return RemoteListCertificates(line);
      case TCommand::RemoteSign:
        return RemoteSign(line, ReadInput);
      case TCommand::Import:
        return ImportCertificate(line);
      case TCommand::Remove:
        return RemoveCertificate(line);
      case TCommand::Verify:
        return VerifyDocuments(line, ReadInput);
      case TCommand::PasswordHash:
        return PrintPasswordHash(line);
      default:
        return ListCertificates(line);
    }
  } catch (const std::exception& e) {
    Report(stderr, MessageOf(e));
    return kExitFailure;
  }
}
