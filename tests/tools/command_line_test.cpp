#include "tools/assinador-nfse-cli/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Args = std::vector<std::string>;

TEST(ParseCommandLine, ReadsWhatEachCommandIsGiven) {
  {
    const TCommandLine line = ParseCommandLine({"certificados", "--bruto"});
    EXPECT_EQ(line.Command, TCommand::ListCertificates);
    EXPECT_TRUE(line.Raw);
  }
  {
    const TCommandLine line =
        ParseCommandLine({"assinar", "a.xml", "b.xml", "--serie=0A 1B", "--pasta-saida", "out"});
    EXPECT_EQ(line.Command, TCommand::Sign);
    EXPECT_EQ(line.Inputs, (Args{"a.xml", "b.xml"}));
    EXPECT_EQ(line.Serial, "0A 1B");
    EXPECT_EQ(line.OutputDir, "out");
    EXPECT_FALSE(line.OutputFile);
  }
  {
    // After "--" a name that starts with a dash is a file.
    const TCommandLine line = ParseCommandLine({"assinar", "--serie", "0A", "--", "-x.xml"});
    EXPECT_EQ(line.Inputs, (Args{"-x.xml"}));
  }
  {
    const TCommandLine line = ParseCommandLine(
        {"remoto", "assinar", "a.xml", "b.xml", "c.xml", "--serie", "0A", "--pasta-saida", "o",
         "--servidor", "[::1]:8080", "--conexoes", "8", "--tentativas", "3"});
    EXPECT_EQ(line.Command, TCommand::RemoteSign);
    EXPECT_EQ(line.Host, "::1");
    EXPECT_EQ(line.Port, 8080);
    EXPECT_EQ(line.Connections, 3) << "never more connections than files";
    EXPECT_EQ(line.Attempts, 3);
  }
  {
    const TCommandLine line = ParseCommandLine({"remoto", "certificados", "--servidor", "srv"});
    EXPECT_EQ(line.Command, TCommand::RemoteListCertificates);
    EXPECT_EQ(line.Host, "srv");
    EXPECT_EQ(line.Port, kDefaultServerPort);
  }
  {
    const TCommandLine line = ParseCommandLine({"verificar", "-", "a.xml", "--ac", "raizes/"});
    EXPECT_EQ(line.Command, TCommand::Verify);
    EXPECT_EQ(line.Inputs, (Args{"-", "a.xml"}));
    EXPECT_EQ(line.Anchors, "raizes/");
  }
  EXPECT_EQ(ParseCommandLine({"assinar", "--help"}).Command, TCommand::Help);
  EXPECT_EQ(ParseCommandLine({"remoto", "--version"}).Command, TCommand::Version);
  EXPECT_EQ(ParseCommandLine({"remover", "0a1b"}).Serial, "0a1b");
}

TEST(ParseCommandLine, RefusesWhatMakesNoSenseNamingIt) {
  const struct {
    Args arguments;
    const char* named;  // a part of the message
  } kCases[] = {
      {{}, "falta o comando"},
      {{"assinr"}, "comando desconhecido: \"assinr\""},
      {{"certificados", "--bruta"}, "opção desconhecida: \"--bruta\""},
      {{"certificados", "x"}, "argumento inesperado"},
      {{"assinar", "a.xml"}, "--serie"},
      {{"assinar", "a.xml", "--serie"}, "falta o valor da opção --serie"},
      {{"assinar", "a.xml", "--serie", "1", "--serie", "2"}, "mais de uma vez"},
      {{"assinar", "a.xml", "b.xml", "--serie", "1"}, "--pasta-saida"},
      {{"assinar", "a.xml", "--serie", "1", "--saida", "x", "--pasta-saida", "y"}, "não as duas"},
      {{"assinar", "-", "--serie", "1", "--pasta-saida", "y"}, "entrada padrão"},
      {{"assinar", "d1/a.xml", "d2/a.xml", "--serie", "1", "--pasta-saida", "o"},
       "mesmo arquivo de saída"},
      {{"assinar", "a.xml", "--serie", "1", "--servidor", "h"}, "opção desconhecida"},
      {{"remoto", "assinar", "a.xml", "--serie", "1"}, "--servidor"},
      {{"remoto", "assinar", "a.xml", "--serie", "1", "--servidor", "::1"}, "colchetes"},
      {{"remoto", "assinar", "a.xml", "--serie", "1", "--servidor", "h:0"}, "porta inválida"},
      {{"remoto", "assinar", "a.xml", "--serie", "1", "--servidor", "h:65536"}, "porta inválida"},
      {{"remoto", "assinar", "a.xml", "--serie", "1", "--servidor", "[::1"}, "\"]\""},
      {{"remoto", "assinar", "a.xml", "--serie", "1", "--servidor", "h", "--conexoes", "65"},
       "--conexoes"},
      {{"remoto", "assinar", "a.xml", "--serie", "1", "--servidor", "h", "--tentativas", "0"},
       "--tentativas"},
      {{"remoto", "assinar", "a.xml", "--serie", "1", "--servidor", "h", "--tentativas", "-1"},
       "--tentativas"},
      {{"remoto", "apagar"}, "comando remoto desconhecido"},
      {{"importar"}, "PKCS#12"},
      {{"importar", "a.pfx", "b.pfx"}, "um arquivo de cada vez"},
      {{"remover", " "}, "vazio"},
      {{"verificar", "-", "-"}, "uma vez"},
      {{"verificar", "a.xml", "--ac="}, "--ac"},
  };
  for (const auto& [arguments, named] : kCases) {
    std::string joined;
    for (const auto& argument : arguments) joined += argument + " ";
    try {
      ParseCommandLine(arguments);
      ADD_FAILURE() << "accepted: " << joined;
    } catch (const TUsageError& e) {
      EXPECT_NE(std::string(e.what()).find(named), std::string::npos)
          << joined << "-> " << e.what();
    }
  }
}

TEST(OutputOf, NamesTheFileOrTheFolderEntryOrNothing) {
  TCommandLine line = ParseCommandLine({"assinar", "in/a.xml", "--serie", "1"});
  EXPECT_TRUE(OutputOf(line, "in/a.xml").empty()) << "standard output";
  line = ParseCommandLine({"assinar", "in/a.xml", "--serie", "1", "--saida", "x.xml"});
  EXPECT_EQ(OutputOf(line, "in/a.xml"), "x.xml");
  line = ParseCommandLine({"assinar", "in/a.xml", "--serie", "1", "--pasta-saida", "out"});
  EXPECT_EQ(OutputOf(line, "in/a.xml"), std::filesystem::path("out") / "a.xml");
}

}  // namespace
