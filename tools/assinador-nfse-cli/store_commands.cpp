#include "tools/assinador-nfse-cli/store_commands.h"

#include <ctime>
#include <string>
#include <system_error>

#include "platform/certstore/store.h"
#include "platform/certstore/store_entries.h"
#include "platform/exception.h"
#include "platform/sys/date_time_text.h"
#include "server/classes/certificados_conf.h"
#include "tools/assinador-nfse-cli/console.h"
#include "tools/assinador-nfse-cli/password_input.h"

namespace {

std::string DateText(std::time_t AMoment) {
  std::tm local{};
  localtime_r(&AMoment, &local);
  return text::ToUtf8(sys::FormatDateTime(local, 0));
}

}  // namespace

int ImportCertificate(const TCommandLine& ALine) {
  const std::string& file = ALine.Inputs.front();
  const std::string bytes =
      ReadBounded(file, kMaxStoreFileSize,
                  "\"" + file + "\" é maior que 1 MiB; não parece um arquivo PKCS#12 (.pfx/.p12).");
  TSecret password;
  ReadPassword(ALine.PasswordFile, "Senha do arquivo " + file + ": ", "Importação cancelada.",
               password.Bytes());
  certstore::TStoreEntry entry;
  try {
    entry = certstore::ImportPkcs12(bytes, password.Bytes());
  } catch (const std::exception& e) {
    Report(stderr, "Não foi possível importar \"" + file + "\":");
    Report(stderr, MessageOf(e));
    return kExitFailure;
  }
  Report(stdout,
         "Certificado importado no repositório:\n  Titular: " + text::ToUtf8(entry.Subject) +
             "\n  Número de série: " + text::ToUtf8(entry.SerialNumber) +
             "\n  Emissor: " + text::ToUtf8(entry.Issuer) +
             "\n  Válido até: " + DateText(entry.ValidTo) + "\n  Arquivo: " + entry.File.string());
  if (entry.ValidTo < std::time(nullptr))
    Report(stderr, "Atenção: o certificado venceu em " + DateText(entry.ValidTo) +
                       "; as assinaturas feitas com ele não serão aceitas. Peça um novo "
                       "certificado à sua AC.");
  return 0;
}

int RemoveCertificate(const TCommandLine& ALine) {
  const Text serial = text::FromLocale(TCertificadosConf::Normalize(*ALine.Serial));
  const std::vector<certstore::TStoreEntry> removed = certstore::RemoveEntries(serial);
  if (removed.empty()) {
    Report(stderr, "Nenhum certificado com o número de série " + text::ToUtf8(serial) +
                       " no repositório " + certstore::PersonalStoreDirectory().string() + ".");
    return kExitFailure;
  }
  for (const auto& entry : removed)
    Report(stdout, "Removido: " + entry.File.string() + " (" + text::ToUtf8(entry.Subject) +
                       ", número de série " + text::ToUtf8(entry.SerialNumber) + ")");
  return 0;
}
