#include "tools/assinador-nfse-cli/command_line.h"

#include <algorithm>
#include <filesystem>

const char kHelpText[] =
    R"(assinador-nfse-cli: assina documentos NFS-e (XML) com um certificado do repositório pessoal.

Uso:
  assinador-nfse-cli certificados [--bruto]
  assinador-nfse-cli assinar ARQUIVO... --serie SERIE [--saida ARQUIVO | --pasta-saida PASTA]
  assinador-nfse-cli --help

Comandos:
  certificados          Lista os certificados do repositório, um por linha:
                        nome=serial=SERIE|validate=DATA|issuer=EMISSOR
    --bruto             Mostra o texto único que o serviço devolve aos clientes
                        (entradas unidas por ";", com aspas quando preciso).
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

Repositório de certificados: a pasta $ASSINADOR_NFSE_STORE ou, se não definida,
${XDG_DATA_HOME:-$HOME/.local/share}/assinador-nfse/My. Cada arquivo .pem/.crt (certificado
com a chave privada) ou .pfx/.p12 (sem senha) é um certificado.

Código de saída: 0 sucesso; 1 falha ao assinar, ler ou gravar; 2 erro de uso.
)";

namespace {

bool IsHelp(const std::string& AArgument) {
  return AArgument == "--help" || AArgument == "-h" || AArgument == "ajuda";
}

}  // namespace

TCommandLine ParseCommandLine(const std::vector<std::string>& AArguments) {
  TCommandLine line;
  if (AArguments.empty()) throw TUsageError("falta o comando (certificados ou assinar).");
  if (std::any_of(AArguments.begin(), AArguments.end(), IsHelp)) return line;

  const std::string& command = AArguments.front();
  if (command == "certificados") {
    line.Command = TCommand::ListCertificates;
    for (std::size_t i = 1; i < AArguments.size(); ++i) {
      if (AArguments[i] != "--bruto")
        throw TUsageError("argumento inesperado para certificados: \"" + AArguments[i] + "\".");
      line.Raw = true;
    }
    return line;
  }
  if (command != "assinar") throw TUsageError("comando desconhecido: \"" + command + "\".");

  line.Command = TCommand::Sign;
  bool optionsEnded = false;
  for (std::size_t i = 1; i < AArguments.size(); ++i) {
    const std::string& argument = AArguments[i];
    if (optionsEnded || argument == "-" || !argument.starts_with("-")) {
      line.Inputs.push_back(argument);
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
      continue;
    }
    // "--opção VALOR" or "--opção=VALOR".
    std::string name = argument;
    std::optional<std::string> value;
    if (const auto equals = argument.find('='); equals != std::string::npos) {
      name = argument.substr(0, equals);
      value = argument.substr(equals + 1);
    }
    std::optional<std::string>* target = nullptr;
    if (name == "--serie")
      target = &line.Serial;
    else if (name == "--saida")
      target = &line.OutputFile;
    else if (name == "--pasta-saida")
      target = &line.OutputDir;
    else
      throw TUsageError("opção desconhecida: \"" + argument + "\".");
    if (target->has_value()) throw TUsageError("a opção " + name + " foi dada mais de uma vez.");
    if (!value) {
      if (i + 1 >= AArguments.size()) throw TUsageError("falta o valor da opção " + name + ".");
      value = AArguments[++i];
    }
    *target = *value;
  }

  if (line.Inputs.empty()) throw TUsageError("falta o arquivo a assinar.");
  if (!line.Serial) throw TUsageError("falta o número de série do certificado (--serie).");
  if (line.OutputFile && line.OutputDir)
    throw TUsageError("use --saida ou --pasta-saida, não as duas.");
  if ((line.OutputFile && line.OutputFile->empty()) || (line.OutputDir && line.OutputDir->empty()))
    throw TUsageError("o caminho de saída está vazio.");
  if (line.Inputs.size() > 1 && !line.OutputDir)
    throw TUsageError("com vários arquivos, indique a pasta de saída (--pasta-saida).");
  const auto stdinCount = std::count(line.Inputs.begin(), line.Inputs.end(), "-");
  if (stdinCount > 0 && line.OutputDir)
    throw TUsageError("a entrada padrão (-) não combina com --pasta-saida; use --saida.");
  if (std::any_of(line.Inputs.begin(), line.Inputs.end(),
                  [](const std::string& f) { return f.empty(); }))
    throw TUsageError("nome de arquivo vazio.");
  if (line.OutputDir) {
    std::vector<std::string> names;
    for (const auto& input : line.Inputs) names.push_back(std::filesystem::path(input).filename());
    std::sort(names.begin(), names.end());
    if (const auto twice = std::adjacent_find(names.begin(), names.end()); twice != names.end())
      throw TUsageError("dois arquivos de entrada chamados \"" + *twice +
                        "\" iriam para o mesmo arquivo de saída.");
  }
  return line;
}
