#include "server/classes/config_server.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/exception.h"
#include "platform/sys/executable.h"
#include "tests/support/error_of.h"
#include "tests/support/file_size_limit.h"
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

TEST(ConfigFileNameTest, DefaultsToTheFileBesideTheRunningExecutable) {
  const std::filesystem::path exe = sys::ExecutablePath();
  EXPECT_EQ(TConfigServerINI().FileName(), exe.parent_path() / (exe.filename().string() + ".ini"));
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
