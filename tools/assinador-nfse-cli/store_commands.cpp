#include "tools/assinador-nfse-cli/store_commands.h"

#include <openssl/crypto.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>
#include <system_error>

#include "platform/certstore/store.h"
#include "platform/certstore/store_entries.h"
#include "platform/exception.h"
#include "platform/sys/date_time_text.h"
#include "platform/sys/system_error_text.h"
#include "server/classes/certificados_conf.h"
#include "tools/assinador-nfse-cli/console.h"

namespace {

// Passwords longer than this are refused: nobody types them, and a file or pipe that never
// ends a line is not read without bound.
constexpr std::size_t kMaxPassword = 4096;

// A string that holds a secret: wiped before its memory goes.
class TSecret {
 public:
  TSecret() = default;
  TSecret(const TSecret&) = delete;
  TSecret& operator=(const TSecret&) = delete;
  ~TSecret() { OPENSSL_cleanse(FBytes.data(), FBytes.size()); }
  std::string& Bytes() { return FBytes; }

 private:
  std::string FBytes;
};

[[noreturn]] void Fail(const std::string& AMessage) { throw Exception(std::string_view{AMessage}); }

// Reads at most AMax bytes of AFile (all of it when it is shorter); throws when it is longer.
std::string ReadBounded(const std::string& AFile, std::size_t AMax, const std::string& ATooLong) {
  std::ifstream in(AFile, std::ios::binary);
  if (!in) Fail(sys::ErrorMessage("Não foi possível abrir \"" + AFile + "\"", errno));
  std::string bytes(AMax + 1, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (in.bad()) Fail("Não foi possível ler \"" + AFile + "\".");
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  if (bytes.size() > AMax) Fail(ATooLong);
  return bytes;
}

// The first line of ABytes without its line break (LF or CR LF).
void FirstLine(std::string& ABytes) {
  const auto end = ABytes.find('\n');
  if (end != std::string::npos) ABytes.resize(end);
  if (ABytes.ends_with('\r')) ABytes.pop_back();
}

// Typed without echo at the terminal.
void ReadFromTerminal(const std::string& AFile, std::string& APassword) {
  if (!ReadSecretFromTerminal(STDIN_FILENO, "Senha do arquivo " + AFile + ": ", APassword,
                              kMaxPassword))
    Fail("Importação cancelada.");
}

// One line of standard input, from a pipe or a file.
void ReadFromInput(std::string& APassword) {
  for (;;) {
    const int c = std::fgetc(stdin);
    if (c == EOF || c == '\n') break;
    if (APassword.size() >= kMaxPassword)
      Fail("A senha lida da entrada padrão passa de " + std::to_string(kMaxPassword) +
           " caracteres.");
    APassword.push_back(static_cast<char>(c));
  }
  if (std::ferror(stdin)) Fail("Não foi possível ler a senha da entrada padrão.");
  if (APassword.ends_with('\r')) APassword.pop_back();
}

void ReadPassword(const TCommandLine& ALine, std::string& APassword) {
  if (ALine.PasswordFile) {
    APassword = ReadBounded(*ALine.PasswordFile, 64 * 1024,
                            "O arquivo de senha \"" + *ALine.PasswordFile + "\" é grande demais.");
    FirstLine(APassword);
  } else if (::isatty(STDIN_FILENO)) {
    ReadFromTerminal(ALine.Inputs.front(), APassword);
  } else {
    ReadFromInput(APassword);
  }
}

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
  ReadPassword(ALine, password.Bytes());
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
