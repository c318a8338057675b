#include "tools/assinador-nfse-cli/command_line.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <system_error>

#include "server/classes/certificados_conf.h"

const char kHelpText[] =
    R"(assinador-nfse-cli: assina documentos NFS-e (XML) com um certificado do repositório pessoal,
aqui mesmo ou por um servidor de assinatura (assinador-nfsed).

Uso:
  assinador-nfse-cli certificados [--bruto]
  assinador-nfse-cli assinar ARQUIVO... --serie SERIE [--saida ARQUIVO | --pasta-saida PASTA]
                     [--sobrescrever] [--pin-arquivo ARQUIVO]
  assinador-nfse-cli remoto certificados --servidor HOST[:PORTA] [--bruto] [--espera S]
                     [--usuario USUARIO [--senha-arquivo ARQUIVO]]
  assinador-nfse-cli remoto assinar ARQUIVO... --serie SERIE --servidor HOST[:PORTA]
                     [--saida ARQUIVO | --pasta-saida PASTA] [--sobrescrever] [--conexoes N]
                     [--tentativas N] [--espera S] [--usuario USUARIO [--senha-arquivo ARQUIVO]]
  assinador-nfse-cli importar ARQUIVO.pfx [--senha-arquivo ARQUIVO]
  assinador-nfse-cli senha [--senha-arquivo ARQUIVO]
  assinador-nfse-cli remover SERIE
  assinador-nfse-cli verificar ARQUIVO... [--ac ARQUIVO|PASTA] [--estrito] [--json]
  assinador-nfse-cli --help | --version

Comandos:
  certificados          Lista os certificados do repositório numa tabela: Titular, Série,
                        Válido até e Emissor, e a Situação (VENCIDO ou ainda não válido)
                        quando algum estiver fora da validade. Os arquivos do repositório
                        que não puderam ser usados são citados na saída de erros, com o motivo.
    --bruto             Mostra o texto único que o serviço devolve aos clientes: entradas
                        nome=serial=SERIE|validate=DATA|issuer=EMISSOR unidas por ";", com
                        aspas quando preciso.
  assinar               Assina cada ARQUIVO com o certificado de número de série SERIE.
                        "-" lê o documento da entrada padrão. O arquivo é lido na codificação
                        da marca de ordem de bytes ou da declaração XML (UTF-8, ISO-8859-1,
                        UTF-16), e o documento assinado é gravado na mesma codificação.
    --serie SERIE       Número de série do certificado, em hexadecimal (maiúsculas ou
                        minúsculas; espaços são ignorados).
    --saida ARQUIVO     Grava o documento assinado em ARQUIVO (só com um arquivo de entrada).
    --pasta-saida PASTA Grava cada documento assinado em PASTA, com o nome do arquivo de
                        entrada (necessário com vários arquivos).
                        Sem --saida nem --pasta-saida, o documento vai para a saída padrão.
    --sobrescrever      Permite que o documento assinado substitua o próprio arquivo de
                        entrada (--saida igual à entrada, ou --pasta-saida igual à pasta
                        dela); sem esta opção o comando recusa e não assina nada.
    --pin-arquivo ARQUIVO
                        Certificado em token (A3): lê o PIN da primeira linha de ARQUIVO
                        (legível só pelo usuário). Sem esta opção, o PIN é pedido no terminal.
  remoto certificados   Como certificados, mas pergunta ao servidor de assinatura a lista do
                        repositório dele.
  remoto assinar        Como assinar, mas o servidor de assinatura assina com um certificado
                        do repositório dele. A codificação de cada arquivo é mantida.
    --servidor HOST[:PORTA]
                        Endereço do servidor (porta 211 se omitida; IPv6 entre colchetes,
                        como [::1]:8080).
    --conexoes N        Assina até N arquivos ao mesmo tempo, cada um por uma conexão
                        (de 1 a 64; padrão 4).
    --tentativas N      Envia cada arquivo até N vezes, por uma nova conexão, quando a
                        conexão falha antes da resposta (de 1 a 10; padrão 2). Um erro
                        devolvido pelo serviço não é tentado de novo, nem um pedido que
                        ficou sem resposta no tempo de --espera.
    --espera S          Espera a resposta do servidor por até S segundos (de 1 a 3600;
                        padrão 180: mais que o minuto que o PIN de um token pode levar).
    --usuario USUARIO   Para o servidor que pede senha (chaves USUARIO e SENHA_HASH da
                        configuração dele): conecta com este usuário e a senha pedida no
                        terminal, sem eco, ou lida da primeira linha da entrada padrão.
    --senha-arquivo ARQUIVO
                        Com --usuario, lê a senha da primeira linha de ARQUIVO.
  importar              Inclui no repositório o certificado e a chave privada de um arquivo
                        PKCS#12 (.pfx/.p12) protegido por senha, inclusive os de criptografia
                        antiga (RC2, 3DES). A senha é pedida no terminal, sem eco, ou lida da
                        primeira linha da entrada padrão.
    --senha-arquivo ARQUIVO
                        Lê a senha da primeira linha de ARQUIVO.
                        O certificado vai para o arquivo SERIE.pem do repositório, legível só
                        pelo usuário; um certificado de mesmo número de série não é substituído.
  senha                 Escreve o hash da senha (pbkdf2-sha256$ITERAÇÕES$SAL$HASH) a pôr na
                        chave SENHA_HASH da configuração do servidor, com USUARIO, para que
                        ele só atenda clientes que conectem com esse usuário e essa senha.
                        A senha é pedida duas vezes no terminal, sem eco, ou lida da
                        primeira linha da entrada padrão ou de --senha-arquivo ARQUIVO.
  remover               Apaga do repositório os arquivos do certificado de número de série SERIE.
  verificar             Confere cada assinatura (Signature do XML-DSig) de cada ARQUIVO ("-" lê
                        da entrada padrão): o resumo (digest) de cada elemento assinado, o valor
                        da assinatura e o certificado de KeyInfo (titular, série, validade).
                        Uma linha por assinatura: o elemento coberto (nome, Id e lugar) e
                        "válida" ou o motivo. O documento não traz a data da assinatura: a
                        validade do certificado é a de agora, e uma assinatura íntegra feita
                        com certificado vencido não é aceita. Depois, o conteúdo que nenhuma
                        assinatura válida cobre ("conteúdo fora de qualquer assinatura").
    --ac ARQUIVO|PASTA  Exige que a cadeia do certificado chegue a uma das ACs raiz dadas
                        (arquivo PEM ou DER, ou pasta deles, como as da ICP-Brasil); as ACs
                        intermediárias vêm do documento ou da mesma pasta. Sem --ac, a linha
                        diz "cadeia não verificada".
    --estrito           O arquivo não é aceito se algum conteúdo estiver fora de qualquer
                        assinatura válida.
    --json              Um objeto JSON por arquivo, com a lista das assinaturas, para scripts.

O documento a assinar:
  A assinatura (XML-DSig envelopada, com o certificado em KeyInfo) vai no lugar de cada
  marcador <assinatura/> do documento, que recebe o modelo RSA-SHA1 de referência URI=""
  (o documento inteiro):
    <nfse><InfNfse Id="n1">...</InfNfse><assinatura/></nfse>
  Sem marcador, o documento pode trazer o seu próprio elemento Signature, no namespace
  http://www.w3.org/2000/09/xmldsig# (o primeiro do documento é assinado), com:
    Reference URI=""  (o documento inteiro) ou URI="#ID" (o elemento de atributo Id="ID");
    SignatureMethod   rsa-sha1 ou rsa-sha256 (também rsa-sha224, rsa-sha384, rsa-sha512);
    DigestMethod      sha1 ou sha256 (também sha224, sha384, sha512);
    Transforms        enveloped-signature e, se quiser, uma canonicalização C14N;
    CanonicalizationMethod C14N 1.0, C14N 1.1 ou C14N exclusiva (com ou sem comentários).
  Exemplo mínimo, com RSA-SHA256 e referência ao Id:
    <nfse><InfNfse Id="n1">...</InfNfse>
     <Signature xmlns="http://www.w3.org/2000/09/xmldsig#"><SignedInfo>
      <CanonicalizationMethod Algorithm="http://www.w3.org/TR/2001/REC-xml-c14n-20010315"/>
      <SignatureMethod Algorithm="http://www.w3.org/2001/04/xmldsig-more#rsa-sha256"/>
      <Reference URI="#n1"><Transforms>
       <Transform Algorithm="http://www.w3.org/2000/09/xmldsig#enveloped-signature"/>
      </Transforms><DigestMethod Algorithm="http://www.w3.org/2001/04/xmlenc#sha256"/>
      <DigestValue/></Reference></SignedInfo><SignatureValue/><KeyInfo/></Signature></nfse>
  As quebras de linha do documento são retiradas antes da assinatura.

Repositório de certificados: a pasta $ASSINADOR_NFSE_STORE ou, se não definida,
${XDG_DATA_HOME:-$HOME/.local/share}/assinador-nfse/My. Cada arquivo .pem/.crt (certificado
com a chave privada) ou .pfx/.p12 (sem senha) é um certificado. Seguem-se os certificados dos
tokens e cartões (A3) dos módulos PKCS#11 registrados no p11-kit e dos caminhos de
$ASSINADOR_NFSE_PKCS11 (separados por ":").

Código de saída: 0 sucesso; 1 falha ao assinar, ler, gravar, importar, remover ou falar com o
servidor, ou (verificar) alguma assinatura que não é válida; 2 erro de uso.
)";

namespace {

bool IsHelp(const std::string& AArgument) {
  return AArgument == "--help" || AArgument == "-h" || AArgument == "ajuda";
}

// The options a command takes: those with a value and the flags.
struct TAcceptedOptions {
  std::map<std::string, std::optional<std::string>*> Values;
  std::map<std::string, bool*> Flags;
};

// Reads "--opção VALOR", "--opção=VALOR" and the flags from AArguments[AFirst..]; the other
// arguments (and everything after "--") are returned in order.
std::vector<std::string> ParseOptions(const std::vector<std::string>& AArguments,
                                      std::size_t AFirst, const TAcceptedOptions& AAccepted) {
  std::vector<std::string> positional;
  bool optionsEnded = false;
  for (std::size_t i = AFirst; i < AArguments.size(); ++i) {
    const std::string& argument = AArguments[i];
    if (optionsEnded || argument == "-" || !argument.starts_with("-")) {
      positional.push_back(argument);
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
      continue;
    }
    if (const auto flag = AAccepted.Flags.find(argument); flag != AAccepted.Flags.end()) {
      *flag->second = true;
      continue;
    }
    std::string name = argument;
    std::optional<std::string> value;
    if (const auto equals = argument.find('='); equals != std::string::npos) {
      name = argument.substr(0, equals);
      value = argument.substr(equals + 1);
    }
    const auto option = AAccepted.Values.find(name);
    if (option == AAccepted.Values.end())
      throw TUsageError("opção desconhecida: \"" + argument + "\".");
    std::optional<std::string>& target = *option->second;
    if (target.has_value()) throw TUsageError("a opção " + name + " foi dada mais de uma vez.");
    if (!value) {
      if (i + 1 >= AArguments.size()) throw TUsageError("falta o valor da opção " + name + ".");
      value = AArguments[++i];
    }
    target = *value;
  }
  return positional;
}

// A decimal number from AMin to AMax, digits only.
std::optional<long> Bounded(const std::string& AValue, long AMin, long AMax) {
  if (AValue.empty() || AValue.size() > 9 ||
      !std::all_of(AValue.begin(), AValue.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  const long number = std::stol(AValue);
  if (number < AMin || number > AMax) return std::nullopt;
  return number;
}

// HOST, HOST:PORTA, [IPv6] or [IPv6]:PORTA.
void ParseServer(const std::string& AValue, TCommandLine& ALine) {
  if (AValue.empty()) throw TUsageError("o endereço do servidor (--servidor) está vazio.");
  std::string host = AValue;
  std::optional<std::string> port;
  if (AValue.front() == '[') {
    const auto close = AValue.find(']');
    if (close == std::string::npos)
      throw TUsageError("falta o \"]\" do endereço do servidor: \"" + AValue + "\".");
    host = AValue.substr(1, close - 1);
    const std::string rest = AValue.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':')
        throw TUsageError("endereço do servidor inválido: \"" + AValue +
                          "\" (use HOST:PORTA ou [IPv6]:PORTA).");
      port = rest.substr(1);
    }
  } else if (const auto colon = AValue.find(':'); colon != std::string::npos) {
    if (AValue.find(':', colon + 1) != std::string::npos)
      throw TUsageError("escreva o endereço IPv6 entre colchetes, como [::1]:8080: \"" + AValue +
                        "\".");
    host = AValue.substr(0, colon);
    port = AValue.substr(colon + 1);
  }
  if (host.empty()) throw TUsageError("falta o nome do servidor em \"" + AValue + "\".");
  ALine.Host = host;
  if (port) {
    const auto number = Bounded(*port, 1, 65535);
    if (!number)
      throw TUsageError("porta inválida em --servidor: \"" + *port +
                        "\" (use um número de 1 a 65535).");
    ALine.Port = static_cast<std::uint16_t>(*number);
  }
}

// The checks shared by assinar and remoto assinar.
void CheckSign(TCommandLine& ALine) {
  if (ALine.Inputs.empty()) throw TUsageError("falta o arquivo a assinar.");
  if (!ALine.Serial) throw TUsageError("falta o número de série do certificado (--serie).");
  if (ALine.OutputFile && ALine.OutputDir)
    throw TUsageError("use --saida ou --pasta-saida, não as duas.");
  if ((ALine.OutputFile && ALine.OutputFile->empty()) ||
      (ALine.OutputDir && ALine.OutputDir->empty()))
    throw TUsageError("o caminho de saída está vazio.");
  if (ALine.Inputs.size() > 1 && !ALine.OutputDir)
    throw TUsageError("com vários arquivos, indique a pasta de saída (--pasta-saida).");
  const auto stdinCount = std::count(ALine.Inputs.begin(), ALine.Inputs.end(), "-");
  if (stdinCount > 0 && ALine.OutputDir)
    throw TUsageError("a entrada padrão (-) não combina com --pasta-saida; use --saida.");
  if (std::any_of(ALine.Inputs.begin(), ALine.Inputs.end(),
                  [](const std::string& f) { return f.empty(); }))
    throw TUsageError("nome de arquivo vazio.");
  if (ALine.OutputDir) {
    std::vector<std::string> names;
    for (const auto& input : ALine.Inputs) names.push_back(std::filesystem::path(input).filename());
    std::sort(names.begin(), names.end());
    if (const auto twice = std::adjacent_find(names.begin(), names.end()); twice != names.end())
      throw TUsageError("dois arquivos de entrada chamados \"" + *twice +
                        "\" iriam para o mesmo arquivo de saída.");
  }
}

// --usuario and its --senha-arquivo, of the remote commands.
void AcceptCredentials(TAcceptedOptions& AAccepted, TCommandLine& ALine) {
  AAccepted.Values["--usuario"] = &ALine.User;
  AAccepted.Values["--senha-arquivo"] = &ALine.PasswordFile;
}

void ParseWait(const std::optional<std::string>& AWait, TCommandLine& ALine) {
  if (!AWait) return;
  const auto number = Bounded(*AWait, 1, kMaxWaitSeconds);
  if (!number)
    throw TUsageError("o tempo de espera (--espera) deve estar entre 1 e " +
                      std::to_string(kMaxWaitSeconds) + " segundos.");
  ALine.WaitSeconds = static_cast<int>(*number);
}

void CheckCredentials(const TCommandLine& ALine) {
  if (ALine.User && ALine.User->empty())
    throw TUsageError("o nome do usuário (--usuario) está vazio.");
  if (ALine.PasswordFile && !ALine.User)
    throw TUsageError("--senha-arquivo só vale com --usuario.");
  if (ALine.PasswordFile && ALine.PasswordFile->empty())
    throw TUsageError("o nome do arquivo de senha (--senha-arquivo) está vazio.");
  // Standard input cannot bring both the document and the password.
  if (ALine.User && !ALine.PasswordFile &&
      std::find(ALine.Inputs.begin(), ALine.Inputs.end(), "-") != ALine.Inputs.end())
    throw TUsageError(
        "com --usuario e o documento na entrada padrão (-), leia a senha de --senha-arquivo.");
}

void ParseListCertificates(const std::vector<std::string>& AArguments, std::size_t AFirst,
                           TCommandLine& ALine, bool ARemote) {
  std::optional<std::string> server;
  std::optional<std::string> wait;
  TAcceptedOptions accepted;
  accepted.Flags["--bruto"] = &ALine.Raw;
  if (ARemote) {
    accepted.Values["--servidor"] = &server;
    accepted.Values["--espera"] = &wait;
    AcceptCredentials(accepted, ALine);
  }
  const std::vector<std::string> extra = ParseOptions(AArguments, AFirst, accepted);
  if (!extra.empty())
    throw TUsageError("argumento inesperado para certificados: \"" + extra.front() + "\".");
  if (ARemote) {
    if (!server) throw TUsageError("falta o endereço do servidor (--servidor HOST[:PORTA]).");
    ParseServer(*server, ALine);
    CheckCredentials(ALine);
    ParseWait(wait, ALine);
  }
}

void ParseSign(const std::vector<std::string>& AArguments, std::size_t AFirst, TCommandLine& ALine,
               bool ARemote) {
  std::optional<std::string> server;
  std::optional<std::string> connections;
  std::optional<std::string> attempts;
  std::optional<std::string> wait;
  TAcceptedOptions accepted;
  accepted.Values["--serie"] = &ALine.Serial;
  accepted.Values["--saida"] = &ALine.OutputFile;
  accepted.Values["--pasta-saida"] = &ALine.OutputDir;
  accepted.Flags["--sobrescrever"] = &ALine.Overwrite;
  if (!ARemote) accepted.Values["--pin-arquivo"] = &ALine.PinFile;
  if (ARemote) {
    accepted.Values["--servidor"] = &server;
    accepted.Values["--conexoes"] = &connections;
    accepted.Values["--tentativas"] = &attempts;
    accepted.Values["--espera"] = &wait;
    AcceptCredentials(accepted, ALine);
  }
  ALine.Inputs = ParseOptions(AArguments, AFirst, accepted);
  CheckSign(ALine);
  if (ALine.PinFile && ALine.PinFile->empty())
    throw TUsageError("o nome do arquivo de PIN (--pin-arquivo) está vazio.");
  if (!ARemote) return;
  if (!server) throw TUsageError("falta o endereço do servidor (--servidor HOST[:PORTA]).");
  ParseServer(*server, ALine);
  CheckCredentials(ALine);
  int wanted = kDefaultConnections;
  if (connections) {
    const auto number = Bounded(*connections, 1, kMaxConnections);
    if (!number)
      throw TUsageError("o número de conexões (--conexoes) deve estar entre 1 e " +
                        std::to_string(kMaxConnections) + ".");
    wanted = static_cast<int>(*number);
  }
  ALine.Connections = std::min(wanted, static_cast<int>(ALine.Inputs.size()));
  if (attempts) {
    const auto number = Bounded(*attempts, 1, kMaxAttempts);
    if (!number)
      throw TUsageError("o número de tentativas (--tentativas) deve estar entre 1 e " +
                        std::to_string(kMaxAttempts) + ".");
    ALine.Attempts = static_cast<int>(*number);
  }
  ParseWait(wait, ALine);
}

}  // namespace

TCommandLine ParseCommandLine(const std::vector<std::string>& AArguments) {
  TCommandLine line;
  if (AArguments.empty())
    throw TUsageError(
        "falta o comando (certificados, assinar, remoto, importar, remover, verificar ou "
        "senha).");
  if (std::any_of(AArguments.begin(), AArguments.end(), IsHelp)) return line;
  if (std::find(AArguments.begin(), AArguments.end(), "--version") != AArguments.end()) {
    line.Command = TCommand::Version;
    return line;
  }

  const std::string& command = AArguments.front();
  if (command == "certificados") {
    line.Command = TCommand::ListCertificates;
    ParseListCertificates(AArguments, 1, line, false);
  } else if (command == "assinar") {
    line.Command = TCommand::Sign;
    ParseSign(AArguments, 1, line, false);
  } else if (command == "remoto") {
    if (AArguments.size() < 2)
      throw TUsageError("falta o comando remoto (certificados ou assinar).");
    const std::string& remote = AArguments[1];
    if (remote == "certificados") {
      line.Command = TCommand::RemoteListCertificates;
      ParseListCertificates(AArguments, 2, line, true);
    } else if (remote == "assinar") {
      line.Command = TCommand::RemoteSign;
      ParseSign(AArguments, 2, line, true);
    } else {
      throw TUsageError("comando remoto desconhecido: \"" + remote +
                        "\" (use certificados ou assinar).");
    }
  } else if (command == "importar") {
    line.Command = TCommand::Import;
    TAcceptedOptions accepted;
    accepted.Values["--senha-arquivo"] = &line.PasswordFile;
    line.Inputs = ParseOptions(AArguments, 1, accepted);
    if (line.Inputs.empty()) throw TUsageError("falta o arquivo PKCS#12 (.pfx) a importar.");
    if (line.Inputs.size() > 1) throw TUsageError("importe um arquivo de cada vez.");
    if (line.Inputs.front().empty() || line.Inputs.front() == "-")
      throw TUsageError("indique o nome do arquivo PKCS#12 a importar.");
    if (line.PasswordFile && line.PasswordFile->empty())
      throw TUsageError("o nome do arquivo de senha (--senha-arquivo) está vazio.");
  } else if (command == "senha") {
    line.Command = TCommand::PasswordHash;
    TAcceptedOptions accepted;
    accepted.Values["--senha-arquivo"] = &line.PasswordFile;
    const std::vector<std::string> extra = ParseOptions(AArguments, 1, accepted);
    if (!extra.empty())
      throw TUsageError("argumento inesperado para senha: \"" + extra.front() + "\".");
    if (line.PasswordFile && line.PasswordFile->empty())
      throw TUsageError("o nome do arquivo de senha (--senha-arquivo) está vazio.");
  } else if (command == "remover") {
    line.Command = TCommand::Remove;
    const std::vector<std::string> serials = ParseOptions(AArguments, 1, {});
    if (serials.empty()) throw TUsageError("falta o número de série do certificado a remover.");
    if (serials.size() > 1) throw TUsageError("remova um certificado de cada vez.");
    if (TCertificadosConf::Normalize(serials.front()).empty())
      throw TUsageError("o número de série está vazio.");
    line.Serial = serials.front();
  } else if (command == "verificar") {
    line.Command = TCommand::Verify;
    TAcceptedOptions accepted;
    accepted.Values["--ac"] = &line.Anchors;
    accepted.Flags["--json"] = &line.Json;
    accepted.Flags["--estrito"] = &line.Strict;
    line.Inputs = ParseOptions(AArguments, 1, accepted);
    if (line.Inputs.empty()) throw TUsageError("falta o arquivo a verificar.");
    if (std::any_of(line.Inputs.begin(), line.Inputs.end(),
                    [](const std::string& f) { return f.empty(); }))
      throw TUsageError("nome de arquivo vazio.");
    if (std::count(line.Inputs.begin(), line.Inputs.end(), "-") > 1)
      throw TUsageError("a entrada padrão (-) só pode ser lida uma vez.");
    if (line.Anchors && line.Anchors->empty())
      throw TUsageError("o caminho das ACs confiáveis (--ac) está vazio.");
  } else {
    throw TUsageError("comando desconhecido: \"" + command + "\".");
  }
  return line;
}

void RefuseOverwritingInputs(const TCommandLine& ALine) {
  if (ALine.Overwrite) return;
  if (ALine.Command != TCommand::Sign && ALine.Command != TCommand::RemoteSign) return;
  for (const std::string& input : ALine.Inputs) {
    if (input == "-") continue;
    const std::filesystem::path output = OutputOf(ALine, input);
    std::error_code missing;
    if (output.empty() || !std::filesystem::equivalent(input, output, missing)) continue;
    if (ALine.OutputDir)
      throw TUsageError("a pasta de saída \"" + *ALine.OutputDir + "\" é a pasta de \"" + input +
                        "\": o documento assinado substituiria o original. Use outra pasta, ou "
                        "--sobrescrever para substituí-lo.");
    throw TUsageError("--saida \"" + *ALine.OutputFile + "\" é o próprio arquivo de entrada \"" +
                      input +
                      "\": o documento assinado substituiria o original. Use outro nome, ou "
                      "--sobrescrever para substituí-lo.");
  }
}

std::filesystem::path OutputOf(const TCommandLine& ALine, const std::string& AInput) {
  if (ALine.OutputFile) return *ALine.OutputFile;
  if (ALine.OutputDir)
    return std::filesystem::path(*ALine.OutputDir) / std::filesystem::path(AInput).filename();
  return {};
}
