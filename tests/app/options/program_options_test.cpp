#include "app/options/program_options.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

constexpr std::string_view kFiles[] = {"--captura"};
constexpr std::string_view kFlags[] = {"--foreground"};

TEST(ProgramOptionsTest, ParsesTheSharedOptionsAndTheProgramsOwn) {
  const std::filesystem::path here = std::filesystem::current_path();
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    bool help;
    std::filesystem::path config, log, capture;
    bool foreground;
  };
  const Case kCases[] = {
      {"nothing", {}, false, {}, {}, {}, false},
      {"separate names",
       {"--config", "a.ini", "--log", "/var/a.log"},
       false,
       here / "a.ini",
       "/var/a.log",
       {},
       false},
      {"joined names",
       {"--config=/etc/a.ini", "--log=b.log"},
       false,
       "/etc/a.ini",
       here / "b.log",
       {},
       false},
      {"the last one counts",
       {"--config", "a.ini", "--config", "b.ini"},
       false,
       here / "b.ini",
       {},
       {},
       false},
      {"own file option and flag",
       {"--captura", "pics", "--foreground"},
       false,
       {},
       {},
       here / "pics",
       true},
      {"help", {"--log", "x", "-h"}, true, {}, here / "x", {}, false},
      {"a name that looks like an option",
       {"--config", "--log"},
       false,
       here / "--log",
       {},
       {},
       false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const TProgramOptions options = ParseProgramOptions(c.arguments, kFiles, kFlags);
    EXPECT_EQ(options.Help, c.help);
    EXPECT_EQ(options.ConfigFile, c.config);
    EXPECT_EQ(options.LogFile, c.log);
    const auto capture = options.Files.find("--captura");
    EXPECT_EQ(capture == options.Files.end() ? std::filesystem::path() : capture->second,
              c.capture);
    EXPECT_EQ(options.Flags.contains("--foreground"), c.foreground);
  }
}

TEST(ProgramOptionsTest, RefusesUnknownOptionsAndMissingNames) {
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    std::string message;
  };
  const Case kCases[] = {
      {"unknown", {"--porta", "8080"}, "opção desconhecida: --porta"},
      {"a program's option another program lacks",
       {"--captura", "x"},
       "opção desconhecida: --captura"},
      {"flag with a value", {"--foreground=1"}, "opção desconhecida: --foreground=1"},
      {"config without name", {"--config"}, "a opção --config exige um nome de arquivo."},
      {"empty joined name", {"--log="}, "a opção --log exige um nome de arquivo."},
      {"empty separate name", {"--config", ""}, "a opção --config exige um nome de arquivo."},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    try {
      ParseProgramOptions(c.arguments, {}, kFlags);
      ADD_FAILURE() << "accepted";
    } catch (const TUsageError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

TEST(ProgramOptionsTest, VersionIsAnOptionOfItsOwn) {
  EXPECT_TRUE(ParseProgramOptions({"--version"}).Version);
  EXPECT_FALSE(ParseProgramOptions({"--help"}).Version);
}

// What the daemon's standard error says of the failures it could not pass on: Portuguese first.
TEST(ProgramOptionsTest, DiagnosticsArePortugueseFirst) {
  using diagnostics::TReportKind;
  struct Case {
    const char* name;
    Text source;
    Text message;
    TReportKind kind;
    Text shown;
  };
  const Case kCases[] = {
      {"a store file, already in Portuguese", u"Certificados",
       u"Arquivo ignorado no repositório de certificados: /a.pfx: motivo", TReportKind::Notice,
       u"Arquivo ignorado no repositório de certificados: /a.pfx: motivo"},
      // A routine fall-back is a notice whatever its source: never an internal failure.
      {"a document signed by the tree", u"Assinatura",
       u"Documento assinado pela árvore, fora da leitura em uma passagem: comentário",
       TReportKind::Notice,
       u"Documento assinado pela árvore, fora da leitura em uma passagem: comentário"},
      {"a client connection", u"TCP transport", u"accept: Too many open files",
       TReportKind::Failure,
       u"Falha numa conexão de cliente; o servidor continua atendendo os demais.\rDetalhe: "
       u"accept: Too many open files"},
      {"another part", u"Server container", u"boom", TReportKind::Failure,
       u"Falha interna em \"Server container\"; o programa continua.\rDetalhe: boom"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(DiagnosticForPeople(c.source, c.message, c.kind), c.shown);
  }
}

}  // namespace
