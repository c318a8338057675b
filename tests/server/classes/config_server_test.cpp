#include "server/classes/config_server.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/exception.h"
#include "platform/sys/executable.h"
#include "tests/support/error_of.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/scoped_env.h"
#include "tests/support/scratch_directory.h"

namespace {

std::string MissingFileMessage(const std::filesystem::path& AFile) {
  return "[Configuração do Servidor] O Arquivo de configuração \"" + AFile.string() +
         "\" não foi encontrado!";
}

class ConfigServerTest : public testing::Test {
 protected:
  void Write(std::string_view ABytes) { TScratchDirectory::WriteBytes(FFile, ABytes); }
  std::string Bytes() const { return TScratchDirectory::ReadBytes(FFile); }

  TScratchDirectory FDir;
  std::filesystem::path FFile = FDir / "assinador-nfsed.ini";
  TConfigServerINI FConfig{FFile};
};

TEST(ConfigFileNameTest, ReplacesTheFirstLowerCaseExeOfTheFileNameOrAppendsIni) {
  struct Case {
    const char* exe;
    const char* ini;
  };
  const Case kCases[] = {
      {"/opt/app/server.exe", "/opt/app/server.ini"},
      {"/usr/bin/assinador-nfsed", "/usr/bin/assinador-nfsed.ini"},
      {"/opt/app/SERVER.EXE", "/opt/app/SERVER.EXE.ini"},      // only the lower-case form
      {"/opt/app.exe/server", "/opt/app.exe/server.ini"},      // the folder is not searched
      {"/opt/app/server.exe.exe", "/opt/app/server.ini.exe"},  // the first occurrence only
      {"/opt/app/my.exelent", "/opt/app/my.inilent"},
      {"server.exe", "server.ini"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.exe);
    const std::filesystem::path ini = TConfigServerINI::ConfigFileName(c.exe);
    EXPECT_EQ(ini, std::filesystem::path(c.ini));
    EXPECT_NE(ini, std::filesystem::path(c.exe));
  }
}

TEST(ConfigFileNameTest, PlacesAreBesideTheExecutableThenTheUsersConfigurationFolder) {
  struct Case {
    const char* name;
    const char* configHome;  // XDG_CONFIG_HOME; null: unset
    const char* home;
    const char* second;
  };
  const Case kCases[] = {
      {"set", "/cfg", "/home/ana", "/cfg/assinador-nfse/assinador-nfsed.ini"},
      {"unset", nullptr, "/home/ana", "/home/ana/.config/assinador-nfse/assinador-nfsed.ini"},
      {"empty", "", "/home/ana", "/home/ana/.config/assinador-nfse/assinador-nfsed.ini"},
      {"relative, ignored", "cfg", "/home/ana",
       "/home/ana/.config/assinador-nfse/assinador-nfsed.ini"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const TScopedEnv configHome("XDG_CONFIG_HOME", c.configHome);
    const TScopedEnv home("HOME", c.home);
    EXPECT_EQ(TConfigServerINI::ConfigFilePlaces("/usr/bin/assinador-nfsed"),
              (std::vector<std::filesystem::path>{"/usr/bin/assinador-nfsed.ini", c.second}));
  }
}

// The running test program has no INI file beside it: the user's folder decides.
TEST(ConfigFileNameTest, WithoutAFileNameTheFirstPlaceThatExistsIsUsed) {
  TScratchDirectory dir;
  const TScopedEnv configHome("XDG_CONFIG_HOME", dir.Path().c_str());
  const std::filesystem::path exe = sys::ExecutablePath();
  const std::filesystem::path beside = TConfigServerINI::ConfigFileName(exe);
  ASSERT_FALSE(std::filesystem::exists(beside));
  const std::filesystem::path user = dir / "assinador-nfse" / beside.filename().string();

  TConfigServerINI config;
  EXPECT_EQ(config.FileName(), user) << "nowhere yet: where a save makes it";
  EXPECT_EQ(ErrorOf([&] { config.LoadConfiguration(); }).Utf8(),
            "[Configuração do Servidor] O Arquivo de configuração não foi encontrado em \"" +
                beside.string() + "\" nem em \"" + user.string() + "\"!");
  EXPECT_FALSE(std::filesystem::exists(user.parent_path())) << "a load makes nothing";

  // The port dialog of the tray program makes it, with its folder.
  config.setPort(8080);
  config.SaveConfiguration();
  EXPECT_EQ(TScratchDirectory::ReadBytes(user), "[CONFIGURACAO]\nPORTA=8080\n");
  TScratchDirectory::WriteBytes(user, "[CONFIGURACAO]\nPORTA=9090\n");
  TConfigServerINI found;
  found.LoadConfiguration();
  EXPECT_EQ(found.FileName(), user);
  EXPECT_EQ(found.getPort(), 9090);
}

TEST_F(ConfigServerTest, ReadsThePortOfTheSectionAndKeyWithoutRegardToCase) {
  struct Case {
    const char* name;
    std::string file;
    std::int32_t port;
  };
  const Case kCases[] = {
      {"as written", "[CONFIGURACAO]\r\nPORTA=8080\r\n", 8080},
      {"lower case, no final break", "[configuracao]\nporta=8080", 8080},
      {"mixed case and blanks", "  [ Configuracao ]  \n\tPorta = 8080 \t\n", 8080},
      {"among other sections",
       "; comentário\n[GERAL]\nPORTA=1\n[CONFIGURACAO]\nOUTRA=2\nPORTA=8080\n[FIM]\nPORTA=3\n",
       8080},
      {"the first of two keys", "[CONFIGURACAO]\nPORTA=8080\nPORTA=9090\n", 8080},
      {"quoted value", "[CONFIGURACAO]\nPORTA=\"8080\"\n", 8080},
      {"key absent", "[CONFIGURACAO]\nOUTRA=8080\n", 0},
      {"key of another section", "[CONFIGURACAO]\n[OUTRA]\nPORTA=8080\n", 0},
      {"key before every section", "PORTA=8080\n[CONFIGURACAO]\n", 0},
      {"section name with more after it", "[CONFIGURACAO2]\nPORTA=8080\n", 0},
      {"commented key", "[CONFIGURACAO]\n;PORTA=8080\n", 0},
      {"key without a value", "[CONFIGURACAO]\nPORTA=\n", 0},
      {"key without an equals sign", "[CONFIGURACAO]\nPORTA\n", 0},
      {"empty file", "", 0},
      {"byte-order mark", "\xEF\xBB\xBF[CONFIGURACAO]\r\nPORTA=8080\r\n", 8080},
      {"byte-order mark only", "\xEF\xBB\xBF", 0},
      {"byte-order mark not at the start", "\n\xEF\xBB\xBF[CONFIGURACAO]\nPORTA=8080\n", 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Write(c.file);
    FConfig.setPort(-1);
    FConfig.LoadConfiguration();
    EXPECT_EQ(FConfig.getPort(), c.port);
  }
}

TEST_F(ConfigServerTest, ConvertsDecimalAndHexadecimalValuesInFullOrReadsZero) {
  struct Case {
    const char* value;
    std::int32_t port;
  };
  const Case kCases[] = {
      {"8080", 8080},
      {"08080", 8080},
      {"+211", 211},
      {"-5", -5},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"0x1F90", 8080},
      {"0X1f90", 8080},
      {"$1F90", 8080},
      {"$1f90", 8080},
      {"0x10", 16},
      {"$FFFFFFFF", -1},  // a 32-bit pattern
      {"0x7FFFFFFF", 2147483647},
      // Not converted in full:
      {"8080abc", 0},
      {"80 80", 0},
      {"0x1F90g", 0},
      {"2147483648", 0},
      {"-2147483649", 0},
      {"$100000000", 0},
      {"0x", 0},  // too short for a hexadecimal number, and no decimal one
      {"$", 0},
      {"+", 0},
      {"-", 0},
      {"+-5", 0},
      {"$-10", 0},
      {"0x-10", 0},
      {"-0x10", 0},
      {"-$10", 0},
      {"1e3", 0},
      {"8080.0", 0},
      {"١٢", 0},  // digits of another script
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.value);
    Write(std::string("[CONFIGURACAO]\nPORTA=") + c.value + "\n");
    FConfig.setPort(-1);
    FConfig.LoadConfiguration();
    EXPECT_EQ(FConfig.getPort(), c.port);
  }
}

TEST_F(ConfigServerTest, CheckPortRefusesWhatTheServerCannotListenOnNamingFileAndValue) {
  struct Case {
    const char* name;
    std::string file;
    const char* found;      // null: the port is accepted
    std::string hint = {};  // what the file suggests, after the message
  };
  const std::string utf16(
      "\xFF\xFE[\0C\0O\0N\0F\0]\0\n\0P\0=\0"
      "1\0\n\0",
      24);
  const Case kCases[] = {
      {"missing key", "[CONFIGURACAO]\nOUTRA=1\n", "chave ausente"},
      {"empty file", "", "chave ausente"},
      {"section of another name", "[CONFIG]\nPORTA=8080\n", "chave ausente",
       " O arquivo tem PORTA fora da seção [CONFIGURACAO]: ponha-a depois da linha "
       "[CONFIGURACAO]."},
      {"key before any section", "PORTA=8080\n[CONFIGURACAO]\n", "chave ausente",
       " O arquivo tem PORTA fora da seção [CONFIGURACAO]: ponha-a depois da linha "
       "[CONFIGURACAO]."},
      {"section's name with accents", "[CONFIGURAÇÃO]\nPORTA=8080\n", "chave ausente",
       " O arquivo tem uma seção parecida: o nome da seção é [CONFIGURACAO], sem acentos."},
      {"a UTF-16 file", utf16, "chave ausente",
       " O arquivo parece estar em UTF-16: salve-o em UTF-8 (ou ANSI) no editor."},
      {"empty value", "[CONFIGURACAO]\nPORTA= \n", "valor vazio"},
      {"text", "[CONFIGURACAO]\nPORTA=oito mil\n", "\"oito mil\""},
      {"zero", "[CONFIGURACAO]\nPORTA=0\n", "\"0\""},
      {"above 65535", "[CONFIGURACAO]\nPORTA=70000\n", "\"70000\""},
      {"negative", "[CONFIGURACAO]\nPORTA=-1\n", "\"-1\""},
      {"hexadecimal -1", "[CONFIGURACAO]\nPORTA=$FFFFFFFF\n", "\"$FFFFFFFF\""},
      {"Latin-1 text", "[CONFIGURACAO]\nPORTA=n\xe3o\n", "\"não\""},
      {"long text cut", "[CONFIGURACAO]\nPORTA=" + std::string(50, '9') + "\n",
       "\"9999999999999999999999999999999999999999...\""},
      {"lowest", "[CONFIGURACAO]\nPORTA=1\n", nullptr},
      {"highest", "[CONFIGURACAO]\nPORTA=65535\n", nullptr},
      {"hexadecimal", "[CONFIGURACAO]\nPORTA=$1F90\n", nullptr},
      {"byte-order mark", "\xEF\xBB\xBF[CONFIGURACAO]\nPORTA=8080\n", nullptr},
      {"section in other case", "[configuracao]\nporta=8080\n", nullptr},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Write(c.file);
    FConfig.LoadConfiguration();
    const TRaisedError error = ErrorOf([&] { FConfig.CheckPort(); });
    if (!c.found) {
      EXPECT_EQ(error.Utf8(), "(no error)");
      continue;
    }
    EXPECT_EQ(error.Utf8(), "[Configuração do Servidor] PORTA ausente ou inválida em \"" +
                                FFile.string() + "\": " + c.found +
                                ". Informe na seção [CONFIGURACAO] uma porta TCP de 1 a 65535 "
                                "(por exemplo PORTA=8080)." +
                                c.hint);
  }
  // A port set in memory is what is checked.
  FConfig.setPort(70000);
  EXPECT_NE(ErrorOf([&] { FConfig.CheckPort(); }).Utf8().find(": \"70000\"."), std::string::npos);
}

// Keys of the section the server does not know, and keys written twice, are read as before and
// told, naming the line: a typo must not silently leave a setting at its default.
TEST_F(ConfigServerTest, UnknownAndRepeatedKeysAreWarnedOfByLine) {
  struct Case {
    const char* name;
    std::string file;
    std::vector<std::string> warnings;
  };
  const Case kCases[] = {
      {"clean", "[CONFIGURACAO]\nPORTA=8080\nCLIENTES=*\n", {}},
      {"a typo",
       "; servidor\n[CONFIGURACAO]\nPORTA=8080\nCLIENTE=10.0.0.0/8\n",
       {"[Configuração do Servidor] Aviso: chave desconhecida CLIENTE na linha 4 da seção "
        "[CONFIGURACAO], que não vale (as chaves são PORTA, CLIENTES, ENDERECO, USUARIO, "
        "SENHA_HASH e MEMORIA_CLIENTES)."}},
      {"written twice, in other case",
       "[CONFIGURACAO]\r\nPORTA=8080\r\nporta = 9090\r\n",
       {"[Configuração do Servidor] Aviso: chave repetida PORTA na linha 3; vale a da linha 2."}},
      {"other sections are their own", "[OUTRA]\nX=1\n[CONFIGURACAO]\nPORTA=8080\n", {}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Write(c.file);
    FConfig.LoadConfiguration();
    std::vector<std::string> warnings;
    for (const Text& warning : FConfig.getWarnings()) warnings.push_back(text::ToUtf8(warning));
    EXPECT_EQ(warnings, c.warnings);
    EXPECT_EQ(FConfig.getPort(), 8080);
  }
}

TEST_F(ConfigServerTest, MissingFileRaisesAndKeepsThePort) {
  FConfig.setPort(77);
  EXPECT_EQ(ErrorOf([&] { FConfig.LoadConfiguration(); }).Utf8(), MissingFileMessage(FFile));
  EXPECT_EQ(FConfig.getPort(), 77);
  EXPECT_FALSE(std::filesystem::exists(FFile));  // a load never creates the file
}

TEST_F(ConfigServerTest, UnreadableFileRaisesInsteadOfReadingZero) {
  Write("[CONFIGURACAO]\nPORTA=211\n");
  FConfig.LoadConfiguration();
  std::filesystem::remove(FFile);
  std::filesystem::create_directory(FFile);  // there, but no file to read
  const std::string message = ErrorOf([&] { FConfig.LoadConfiguration(); }).Utf8();
  EXPECT_TRUE(message.starts_with("Cannot open file \"" + FFile.string() + "\". ")) << message;
  EXPECT_EQ(FConfig.getPort(), 211);
}

TEST_F(ConfigServerTest, SetPortWithoutSaveIsDiscardedByTheNextLoad) {
  Write("[CONFIGURACAO]\nPORTA=211\n");
  FConfig.setPort(9000);
  EXPECT_EQ(FConfig.getPort(), 9000);
  FConfig.LoadConfiguration();
  EXPECT_EQ(FConfig.getPort(), 211);
  EXPECT_EQ(Bytes(), "[CONFIGURACAO]\nPORTA=211\n");
}

TEST_F(ConfigServerTest, SaveChangesOnlyThePortAndKeepsEveryOtherByte) {
  struct Case {
    const char* name;
    std::string before;
    std::string after;
  };
  const Case kCases[] = {
      {"other sections, blanks and comments kept",
       "; comentário\r\n[GERAL]\r\nNome = Teste  \r\n\r\n[Configuracao]\r\n  porta = 211 \r\n"
       "OUTRA=x\r\n[FIM]\r\nA=1",
       "; comentário\r\n[GERAL]\r\nNome = Teste  \r\n\r\n[Configuracao]\r\n  porta = 8080 \r\n"
       "OUTRA=x\r\n[FIM]\r\nA=1"},
      {"bytes of another code page kept", "[Se\xe7\xe3o]\nNome=Jo\xe3o\n[CONFIGURACAO]\nPORTA=1\n",
       "[Se\xe7\xe3o]\nNome=Jo\xe3o\n[CONFIGURACAO]\nPORTA=8080\n"},
      {"quoted value replaced whole", "[CONFIGURACAO]\nPORTA=\"211\"\n",
       "[CONFIGURACAO]\nPORTA=8080\n"},
      {"empty value", "[CONFIGURACAO]\nPORTA=\n", "[CONFIGURACAO]\nPORTA=8080\n"},
      {"the first of two keys", "[CONFIGURACAO]\nPORTA=1\nPORTA=2\n",
       "[CONFIGURACAO]\nPORTA=8080\nPORTA=2\n"},
      {"key added at the end of its section", "[CONFIGURACAO]\nOUTRA=x\n\n[B]\nC=1\n",
       "[CONFIGURACAO]\nOUTRA=x\nPORTA=8080\n\n[B]\nC=1\n"},
      {"key added after a last line without a break", "[CONFIGURACAO]\r\nOUTRA=x",
       "[CONFIGURACAO]\r\nOUTRA=x\r\nPORTA=8080\r\n"},
      {"section added with the file's line break", "[B]\r\nC=1",
       "[B]\r\nC=1\r\n[CONFIGURACAO]\r\nPORTA=8080\r\n"},
      {"key of another section left alone", "[B]\nPORTA=1\n",
       "[B]\nPORTA=1\n[CONFIGURACAO]\nPORTA=8080\n"},
      {"empty file", "", "[CONFIGURACAO]\nPORTA=8080\n"},
      {"byte-order mark kept", "\xEF\xBB\xBF[CONFIGURACAO]\r\nPORTA=211\r\n",
       "\xEF\xBB\xBF[CONFIGURACAO]\r\nPORTA=8080\r\n"},
      {"byte-order mark kept, section added", "\xEF\xBB\xBF[B]\nC=1\n",
       "\xEF\xBB\xBF[B]\nC=1\n[CONFIGURACAO]\nPORTA=8080\n"},
      {"byte-order mark only", "\xEF\xBB\xBF", "\xEF\xBB\xBF[CONFIGURACAO]\nPORTA=8080\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Write(c.before);
    FConfig.setPort(8080);
    FConfig.SaveConfiguration();
    EXPECT_EQ(Bytes(), c.after);
    FConfig.setPort(0);
    FConfig.LoadConfiguration();
    EXPECT_EQ(FConfig.getPort(), 8080);
  }
}

TEST_F(ConfigServerTest, SaveWritesAnyNumberInDecimalAndCreatesAMissingFile) {
  for (const std::int32_t port : {70000, -5, 0, INT32_MIN}) {
    SCOPED_TRACE(port);
    std::filesystem::remove(FFile);
    FConfig.setPort(port);
    FConfig.SaveConfiguration();
    EXPECT_EQ(Bytes(), "[CONFIGURACAO]\nPORTA=" + std::to_string(port) + "\n");
    FConfig.setPort(1);
    FConfig.LoadConfiguration();
    EXPECT_EQ(FConfig.getPort(), port);
  }
}

TEST_F(ConfigServerTest, FailedSaveLeavesTheFileAsItWas) {
  // Longer than the size limit below once rewritten.
  const std::string before =
      "[GERAL]\nNome=" + std::string(200, 'x') + "\n[CONFIGURACAO]\nPORTA=211\n";
  Write(before);
  FConfig.setPort(8080);
  TRaisedError error;
  {
    const FileSizeLimit limit(before.size() - 10);
    error = ErrorOf([&] { FConfig.SaveConfiguration(); });
  }
  EXPECT_EQ(error.Utf8(), "Unable to write to " + FFile.string());
  EXPECT_EQ(Bytes(), before);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(FDir.Path()), {}), 1)
      << "no temporary file left behind";
  EXPECT_EQ(FConfig.getPort(), 8080);  // in memory until the next load
  FConfig.LoadConfiguration();
  EXPECT_EQ(FConfig.getPort(), 211);
}

TEST_F(ConfigServerTest, SaveIntoAMissingFolderFails) {
  TConfigServerINI config(FDir / "sem-pasta" / "x.ini");
  config.setPort(8080);
  EXPECT_EQ(ErrorOf([&] { config.SaveConfiguration(); }).Utf8(),
            "Unable to write to " + (FDir / "sem-pasta" / "x.ini").string());
}

TEST_F(ConfigServerTest, FactoryHandsOutALoadedConfiguration) {
  Write("[CONFIGURACAO]\nPORTA=0x1F90\n");
  const IConfigServerPtr config = TConfigServerFactory::factory(EConfigServer::csINIFile, FFile);
  EXPECT_EQ(config->getPort(), 8080);
}

TEST_F(ConfigServerTest, FactoryPassesOnTheLoadFailureAndRefusesUnknownKinds) {
  EXPECT_EQ(ErrorOf([&] { TConfigServerFactory::factory(EConfigServer::csINIFile, FFile); }).Utf8(),
            MissingFileMessage(FFile));
  EXPECT_EQ(
      ErrorOf([&] { TConfigServerFactory::factory(static_cast<EConfigServer>(1), FFile); }).Utf8(),
      "[Configuração do Servidor] Tipo de configuração não implementada.");
}

}  // namespace
