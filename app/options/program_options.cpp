#include "app/options/program_options.h"

#include <algorithm>
#include <optional>
#include <system_error>

#include "platform/exception.h"
#include "platform/sys/user_folders.h"
#include "server/classes/config_messages.h"
#include "server/classes/config_server.h"
#include "server/utils/logger.h"
#include "transport/tcp/tcp_messages.h"

TProgramOptions ParseProgramOptions(const std::vector<std::string>& AArguments,
                                    std::span<const std::string_view> AFileOptions,
                                    std::span<const std::string_view> AFlags) {
  TProgramOptions options;
  for (std::size_t i = 0; i < AArguments.size(); ++i) {
    const std::string& argument = AArguments[i];
    // "--name F" or "--name=F"; an empty name is refused, it would name no file.
    const auto fileOption = [&](std::string_view AName) -> std::optional<std::filesystem::path> {
      std::string value;
      if (argument == AName) {
        if (i + 1 >= AArguments.size())
          throw TUsageError("a opção " + std::string(AName) + " exige um nome de arquivo.");
        value = AArguments[++i];
      } else if (argument.starts_with(std::string(AName) + "=")) {
        value = argument.substr(AName.size() + 1);
      } else {
        return std::nullopt;
      }
      if (value.empty())
        throw TUsageError("a opção " + std::string(AName) + " exige um nome de arquivo.");
      return std::filesystem::absolute(value);
    };
    if (argument == "--help" || argument == "-h") {
      options.Help = true;
      continue;
    }
    if (argument == "--version") {
      options.Version = true;
      continue;
    }
    if (std::find(AFlags.begin(), AFlags.end(), argument) != AFlags.end()) {
      options.Flags.insert(argument);
      continue;
    }
    if (auto config = fileOption("--config")) {
      options.ConfigFile = std::move(*config);
      continue;
    }
    if (auto log = fileOption("--log")) {
      options.LogFile = std::move(*log);
      continue;
    }
    bool taken = false;
    for (const std::string_view name : AFileOptions) {
      if (auto file = fileOption(name)) {
        options.Files.insert_or_assign(std::string(name), std::move(*file));
        taken = true;
        break;
      }
    }
    if (!taken) throw TUsageError("opção desconhecida: " + argument);
  }
  return options;
}

std::filesystem::path DefaultLogFile(const std::filesystem::path& AExeFile) {
  const std::filesystem::path beside = TLogger::LogFileName(AExeFile);
  std::error_code error;
  if (std::filesystem::exists(TConfigServerINI::ConfigFileName(AExeFile), error)) return beside;
  const std::filesystem::path folder = sys::UserStateFolder() / config_messages::kUserFolder;
  std::filesystem::create_directories(folder, error);
  return folder / beside.filename();
}

Text DiagnosticForPeople(TextView ASource, TextView AMessage, diagnostics::TReportKind AKind) {
  // A notice is written for people already; a failure's text is the libraries' and the system's.
  if (AKind == diagnostics::TReportKind::Notice) return Text(AMessage);
  Text sentence;
  if (ASource == tcp_messages::kDiagnosticsSource) {
    sentence = u"Falha numa conexão de cliente; o servidor continua atendendo os demais.";
  } else {
    sentence = u"Falha interna em \"" + Text(ASource) + u"\"; o programa continua.";
  }
  if (AMessage.empty()) return sentence;
  return sentence + CR + u"Detalhe: " + Text(AMessage);
}

void ReportMessage(std::FILE* AStream, std::string_view AProgram, TextView AMessage) {
  Text shown(AMessage);
  for (auto& c : shown)
    if (c == u'\r') c = u'\n';
  std::string bytes = std::string(AProgram) + ": " + text::ToLocale(shown);
  if (!bytes.ends_with('\n')) bytes += '\n';
  std::fwrite(bytes.data(), 1, bytes.size(), AStream);
  std::fflush(AStream);
}
