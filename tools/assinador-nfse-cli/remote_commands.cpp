#include "tools/assinador-nfse-cli/remote_commands.h"

#include <openssl/crypto.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "platform/exception.h"
#include "platform/sys/system_error_text.h"
#include "server/classes/certificados_conf.h"
#include "server/service/sm_sign_service.h"
#include "tools/assinador-nfse-cli/certificate_table.h"
#include "tools/assinador-nfse-cli/console.h"
#include "tools/assinador-nfse-cli/document_encoding.h"
#include "tools/assinador-nfse-cli/output_file.h"
#include "tools/assinador-nfse-cli/password_input.h"
#include "tools/assinador-nfse-cli/validity_notes.h"
#include "transport/client/client_socket_channel.h"
#include "transport/client/dbx_client.h"
#include "transport/protocol_names.h"
#include "transport/stream/json_error_reply.h"

namespace {

constexpr TextView kListMethod = u"TSMSignService.getListCertificate";
constexpr TextView kSignMethod = u"TSMSignService.SignDocument";

// HOST:PORTA as people write it, an IPv6 address in brackets.
std::string AddressOf(const TCommandLine& ALine) {
  const bool v6 = ALine.Host.find(':') != std::string::npos;
  return (v6 ? "[" + ALine.Host + "]" : ALine.Host) + ":" + std::to_string(ALine.Port);
}

// Why a connection failed, in Portuguese; empty when only the client library's text says it.
std::string ConnectionReason(const TDBXError& AError, const std::string& AHost) {
  const auto* connection = dynamic_cast<const TDBXConnectionError*>(&AError);
  if (connection == nullptr) return {};
  if (connection->NameNotFound())
    return "o nome \"" + AHost + "\" não foi encontrado (confira o nome ou use o endereço IP)";
  if (connection->SystemError() == 0 &&
      AError.Message() == text::FromUtf8(client_format::kServerClosed))
    return "o servidor encerrou a conexão antes de responder";
  if (connection->SystemError() != 0 && sys::HasOwnReason(connection->SystemError()))
    return sys::ErrorReason(connection->SystemError());
  return {};
}

// What went wrong with the server, for people: a Portuguese sentence, and the client library's
// own text as the detail where the sentence does not say it all.
Text ServerFailure(const TCommandLine& ALine, const TDBXError& AError, bool AConnecting) {
  const std::string address = AddressOf(ALine);
  std::string sentence;
  const std::string reason = ConnectionReason(AError, ALine.Host);
  if (dynamic_cast<const TDBXRemoteError*>(&AError) != nullptr &&
      AError.Message().find(text::FromAscii(protocol_names::kAuthenticationRejected)) !=
          Text::npos) {
    // The sentence says it all: the server's text speaks of its own machinery.
    if (ALine.User)
      return text::FromUtf8("O servidor de assinatura em " + address + " recusou o usuário \"" +
                            *ALine.User + "\" ou a senha.");
    return text::FromUtf8("O servidor de assinatura em " + address +
                          " pede usuário e senha: informe o usuário com --usuario.");
  }
  if (dynamic_cast<const TDBXRemoteError*>(&AError) != nullptr) {
    sentence = "O servidor de assinatura em " + address + " recusou o pedido.";
  } else if (AError.ErrorCode() == client_format::kProtocolErrorCode ||
             AError.Message() == text::FromUtf8(client_format::kNegotiationFailed)) {
    // A peer that takes the connection but not the filter negotiation speaks something else.
    sentence = "Erro de protocolo: " + address +
               " não respondeu como um servidor de assinatura (assinador-nfsed).";
  } else if (AConnecting) {
    sentence = "Não foi possível conectar ao servidor de assinatura em " + address;
    sentence += reason.empty() ? "." : ": " + reason + ".";
    // A server that takes the connection and ends it at once does not admit this machine.
    const auto* connection = dynamic_cast<const TDBXConnectionError*>(&AError);
    if (connection && !connection->NameNotFound() &&
        (connection->SystemError() == 0 || connection->SystemError() == ECONNRESET ||
         connection->SystemError() == EPIPE))
      sentence +=
          " O servidor pode não admitir este computador: veja a chave CLIENTES da configuração "
          "dele.";
  } else {
    sentence = "A conexão com o servidor de assinatura em " + address + " falhou";
    sentence += reason.empty() ? "." : ": " + reason + ".";
  }
  if (!reason.empty()) return text::FromUtf8(sentence);
  return text::FromUtf8(sentence) + CR + u"Detalhe: " + AError.Message();
}

// The properties of every connect of a run: none without --usuario, so the request is the same
// as ever; the user and its password with it.
class TCredentials {
 public:
  explicit TCredentials(const TCommandLine& ALine) {
    if (!ALine.User) return;
    TSecret password;
    ReadPassword(ALine.PasswordFile, "Senha do usuário " + *ALine.User + " no servidor: ",
                 "Cancelado: nada foi enviado ao servidor.", password.Bytes());
    FProperties.emplace_back(Text(protocol_names::kAuthenticationUserProperty),
                             text::FromLocale(*ALine.User));
    FProperties.emplace_back(Text(protocol_names::kAuthenticationPasswordProperty),
                             text::FromLocale(password.Bytes()));
  }
  ~TCredentials() {
    for (auto& [name, value] : FProperties)
      OPENSSL_cleanse(value.data(), value.size() * sizeof(char16_t));
  }
  TCredentials(const TCredentials&) = delete;
  TCredentials& operator=(const TCredentials&) = delete;

  const TDBXClient::TProperties& Properties() const { return FProperties; }

 private:
  TDBXClient::TProperties FProperties;
};

// A client of the run's server that waits --espera seconds for each reply.
std::unique_ptr<TDBXClient> MakeClient(const TCommandLine& ALine) {
  TDBXClientOptions options;
  options.ReadTimeoutMs = ALine.WaitSeconds * 1000;
  return std::make_unique<TDBXClient>(ALine.Host, ALine.Port, options);
}

// The reply did not come within --espera: the server may still be working on the request (a
// PIN being typed), so it is never sent again.
bool NoReplyInTime(const TDBXError& AError, bool AConnecting) {
  const auto* connection = dynamic_cast<const TDBXConnectionError*>(&AError);
  return !AConnecting && connection != nullptr && connection->SystemError() == ETIMEDOUT;
}

void OpenConnection(TDBXClient& AClient, const TCredentials& ACredentials) {
  AClient.Open();
  AClient.Connect(ACredentials.Properties());
}

// The outcome of one file, filled in by a worker and shown by the calling thread.
struct TOutcome {
  bool Done = false;
  Text Failure;           // empty on success
  std::string Standard;   // the signed bytes, when they go to standard output
  std::string WrittenTo;  // the output file, when they went to one
  int Attempts = 1;       // times the file was sent
};

// Before a file is sent again: long enough for a balancer in front of several servers to have
// seen the connection's end, short beside a signing.
constexpr auto kRetryPause = std::chrono::milliseconds(100);

// Signs one file through AClient, which is open. A broken connection closes the client; the
// file is then sent again on a new connection, up to ALine.Attempts times in all (the same
// document and key give the same signature, so a second request is harmless). A reply of the
// server, an error reply included, leaves the connection open and is final.
TOutcome SignOne(TDBXClient& AClient, const TCredentials& ACredentials, const Text& ASerial,
                 const TCommandLine& ALine, const std::string& AInput, TReadInput AReadInput) {
  TOutcome outcome;
  const Text shownSerial = text::FromLocale(TCertificadosConf::Normalize(*ALine.Serial));
  const auto failed = [&](TextView AReason) {
    outcome.Failure = SigningFailure(AInput, shownSerial, AReason);
    return outcome;
  };
  std::string bytes;
  try {
    const TDecodedDocument document = DecodeDocument(AReadInput(AInput));
    Text result;
    for (;; ++outcome.Attempts) {
      bool connecting = false;
      try {
        if (!AClient.IsOpen()) {
          connecting = true;
          OpenConnection(AClient, ACredentials);
          connecting = false;
        }
        result =
            AClient.CallTextMethod(kSignMethod, {TextView{document.Content}, TextView{ASerial}});
        break;
      } catch (const TDBXError& e) {
        if (NoReplyInTime(e, connecting))
          return failed(text::FromUtf8(
              "O servidor de assinatura em " + AddressOf(ALine) + " não respondeu em " +
              std::to_string(ALine.WaitSeconds) +
              " s; o pedido não foi enviado de novo (o servidor pode estar esperando o PIN de "
              "um token). Para esperar mais, use --espera."));
        if (AClient.IsOpen() || outcome.Attempts >= ALine.Attempts)
          return failed(ServerFailure(ALine, e, connecting));
      }
      std::this_thread::sleep_for(kRetryPause);
    }
    switch (SignOutcomeOf(result)) {
      case TSignOutcome::Logged:
        return failed(
            u"O servidor não devolveu o documento; o erro foi registrado no arquivo de log do "
            u"servidor.");
      case TSignOutcome::ErrorText:
        return failed(ForPeople(result, document.Content, true));
      case TSignOutcome::Signed:
        break;
    }
    bytes = EncodeDocument(result, document.Encoding);
  } catch (const std::exception& e) {
    return failed(MessageOf(e));
  }
  try {
    const std::filesystem::path output = OutputOf(ALine, AInput);
    if (output.empty()) {
      outcome.Standard = std::move(bytes);
    } else {
      if (ALine.OutputDir) {
        // Several workers may get here at once; one of them makes the folder.
        std::error_code ignored;
        std::filesystem::create_directories(*ALine.OutputDir, ignored);
      }
      WriteOutputFile(output, bytes);
      outcome.WrittenTo = output.string();
    }
  } catch (const std::exception& e) {
    outcome.Failure = MessageOf(e);
  }
  return outcome;
}

// The files of one run, handed out to the connections in order; outcomes are kept until the
// calling thread shows them.
class TBatch {
 public:
  TBatch(const TCommandLine& ALine, const TCredentials& ACredentials, TReadInput AReadInput)
      : FLine(ALine),
        FCredentials(ACredentials),
        FReadInput(AReadInput),
        FSerial(text::FromLocale(*ALine.Serial)),
        FOutcomes(ALine.Inputs.size()) {}

  // Serves files through AClient until none is left or its connection cannot be opened again
  // (the other connections then serve the rest).
  void Work(std::unique_ptr<TDBXClient> AClient) noexcept {
    for (;;) {
      if (FNext.load() >= FOutcomes.size()) break;
      if (!AClient->IsOpen()) {
        try {
          OpenConnection(*AClient, FCredentials);
        } catch (const TDBXError& e) {
          Leave(ServerFailure(FLine, e, true));
          return;
        } catch (const std::exception& e) {
          Leave(MessageOf(e));
          return;
        }
      }
      const std::size_t index = FNext.fetch_add(1);
      if (index >= FOutcomes.size()) break;
      Finish(index,
             SignOne(*AClient, FCredentials, FSerial, FLine, FLine.Inputs[index], FReadInput));
    }
    Leave({});
  }

  void Started() {
    std::lock_guard lock(FLock);
    ++FWorking;
  }

  // The outcome of file AIndex once it is known; when no connection is left to serve it, a
  // failure that says so.
  TOutcome Wait(std::size_t AIndex) {
    std::unique_lock lock(FLock);
    FChanged.wait(lock, [&] { return FOutcomes[AIndex].Done || FWorking == 0; });
    if (!FOutcomes[AIndex].Done) {
      TOutcome lost;
      lost.Failure = SigningFailure(
          FLine.Inputs[AIndex], text::FromLocale(TCertificadosConf::Normalize(*FLine.Serial)),
          text::FromUtf8("Arquivo não enviado: nenhuma conexão com o servidor de assinatura em " +
                         AddressOf(FLine) + " restou aberta.") +
              CR + FLastFailure);
      return lost;
    }
    return std::move(FOutcomes[AIndex]);
  }

 private:
  void Leave(Text AFailure) {
    std::lock_guard lock(FLock);
    if (!AFailure.empty()) FLastFailure = std::move(AFailure);
    --FWorking;
    FChanged.notify_all();
  }

  void Finish(std::size_t AIndex, TOutcome AOutcome) {
    std::lock_guard lock(FLock);
    FOutcomes[AIndex] = std::move(AOutcome);
    FOutcomes[AIndex].Done = true;
    FChanged.notify_all();
  }

  const TCommandLine& FLine;
  const TCredentials& FCredentials;
  const TReadInput FReadInput;
  const Text FSerial;
  std::atomic<std::size_t> FNext{0};
  std::mutex FLock;
  std::condition_variable FChanged;
  std::vector<TOutcome> FOutcomes;  // guarded by FLock
  int FWorking = 0;                 // guarded by FLock: workers still serving
  Text FLastFailure;                // guarded by FLock: why the last worker to give up did
};

}  // namespace

std::vector<Text> SplitCertificateList(TextView AList) {
  std::vector<Text> entries;
  if (AList.empty()) return entries;
  std::size_t at = 0;
  for (;;) {
    Text entry;
    if (at < AList.size() && AList[at] == u'"') {
      ++at;
      while (at < AList.size()) {
        if (AList[at] == u'"') {
          if (at + 1 < AList.size() && AList[at + 1] == u'"') {
            entry += u'"';
            at += 2;
            continue;
          }
          ++at;
          break;
        }
        entry += AList[at++];
      }
    }
    // Unquoted text, or what follows a closing quotation mark, runs to the next ";".
    const std::size_t end = std::min(AList.find(u';', at), AList.size());
    entry += AList.substr(at, end - at);
    entries.push_back(std::move(entry));
    if (end == AList.size()) break;
    at = end + 1;
  }
  return entries;
}

int RemoteListCertificates(const TCommandLine& ALine) {
  const TCredentials credentials(ALine);
  const std::unique_ptr<TDBXClient> own = MakeClient(ALine);
  TDBXClient& client = *own;
  Text list;
  bool connecting = true;
  try {
    OpenConnection(client, credentials);
    connecting = false;
    list = client.CallTextMethod(kListMethod, {});
  } catch (const TDBXError& e) {
    Report(stderr, ServerFailure(ALine, e, connecting));
    return kExitFailure;
  }
  if (list.empty())
    Report(stderr,
           "O servidor não listou nenhum certificado (repositório vazio, ou a listagem "
           "falhou e o erro foi registrado no arquivo de log do servidor).");
  if (ALine.Raw) {
    Write(stdout, text::ToLocale(list) + "\n");
    return 0;
  }
  const std::time_t now = std::time(nullptr);
  std::vector<TCertificateRow> rows;
  for (const Text& entry : SplitCertificateList(list)) {
    TCertificateRow& row = rows.emplace_back();
    row.Listed = ParseListEntry(entry);
    // The server tells only the end of each certificate's validity.
    if (row.Listed.Expiry && *row.Listed.Expiry < now) row.Validity = TValidity::Expired;
  }
  Write(stdout, text::ToLocale(CertificateTable(rows)));
  return 0;
}

namespace {

// One list call for the whole run, on the connection just opened: a certificate that has
// expired is said once before the first file. A list that fails says nothing; the connection
// it broke is opened again by its worker.
void WarnOfExpiry(TDBXClient& AClient, const TCommandLine& ALine) {
  Text list;
  try {
    list = AClient.CallTextMethod(kListMethod, {});
  } catch (const TDBXError&) {
    return;
  }
  const Text serial = text::FromLocale(TCertificadosConf::Normalize(*ALine.Serial));
  const std::time_t now = std::time(nullptr);
  for (const Text& entry : SplitCertificateList(list)) {
    const TListedCertificate listed = ParseListEntry(entry);
    if (listed.Serial != serial || !listed.Expiry) continue;
    if (*listed.Expiry < now)
      Report(stderr,
             SigningWarning(TValidity::Expired, listed.Serial, listed.Name, listed.ValidTo));
    return;
  }
}

}  // namespace

int RemoteSign(const TCommandLine& ALine, TReadInput AReadInput) {
  // The first connection is made before any file is read: a server that cannot be reached
  // ends the command with one message.
  const TCredentials credentials(ALine);
  auto first = MakeClient(ALine);
  try {
    OpenConnection(*first, credentials);
  } catch (const TDBXError& e) {
    Report(stderr, ServerFailure(ALine, e, true));
    return kExitFailure;
  }

  WarnOfExpiry(*first, ALine);

  TBatch batch(ALine, credentials, AReadInput);
  std::vector<std::jthread> workers;
  for (int i = 0; i < ALine.Connections; ++i) {
    auto client = i == 0 ? std::move(first) : MakeClient(ALine);
    batch.Started();
    workers.emplace_back([&batch, c = std::move(client)]() mutable { batch.Work(std::move(c)); });
  }

  TSigningReport report(ALine.Inputs.size());
  for (std::size_t i = 0; i < ALine.Inputs.size(); ++i) {
    report.Starting(i, ALine.Inputs[i]);
    TOutcome outcome = batch.Wait(i);
    if (outcome.Failure.empty() && outcome.WrittenTo.empty()) {
      try {
        Write(stdout, outcome.Standard);
        if (::isatty(STDOUT_FILENO)) Write(stdout, "\n");  // for the prompt; never in a file
      } catch (const std::exception& e) {
        outcome.Failure = MessageOf(e);
      }
    }
    report.Finished(ALine.Inputs[i], outcome.WrittenTo, outcome.Failure, outcome.Attempts);
  }
  return report.End();
}
