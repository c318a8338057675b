// What the programs accept is what their manual pages and the README describe: every command
// and option of the programs' own help texts, and every key of the configuration file, read
// from the sources the programs are built from, appears in both.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/support/scratch_directory.h"

namespace {

namespace fs = std::filesystem;

const fs::path kSource = fs::path(ASSINADOR_TEST_DATA).parent_path().parent_path();

std::string Output(const std::string& ACommand) {
  std::string out;
  const std::unique_ptr<FILE, int (*)(FILE*)> pipe{::popen(ACommand.c_str(), "r"), ::pclose};
  if (!pipe) return out;
  char buffer[4096];
  while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe.get()))
    out.append(buffer, n);
  return out;
}

// A manual page as it reads: roff's "\-" is a hyphen.
std::string ManualPage(const std::string& AName) {
  std::string page = TScratchDirectory::ReadBytes(kSource / "packaging" / "man" / AName);
  for (std::size_t at = page.find("\\-"); at != std::string::npos; at = page.find("\\-", at))
    page.erase(at, 1);
  return page;
}

std::set<std::string> Matches(const std::string& AText, const std::regex& APattern,
                              std::size_t AGroup = 0) {
  std::set<std::string> found;
  for (auto it = std::sregex_iterator(AText.begin(), AText.end(), APattern);
       it != std::sregex_iterator(); ++it)
    found.insert((*it)[AGroup].str());
  return found;
}

TEST(Documentation, EveryCommandOptionAndKeyIsDescribed) {
  const std::string readme = TScratchDirectory::ReadBytes(kSource / "README.md");
  const std::string cliHelp = Output("'" ASSINADOR_BINARY_DIR "/assinador-nfse-cli' --help");
  const std::string daemonHelp = Output("'" ASSINADOR_BINARY_DIR "/assinador-nfsed' --help");
  ASSERT_FALSE(cliHelp.empty());
  ASSERT_FALSE(daemonHelp.empty());
  const std::regex option("--[a-z][a-z-]*");

  std::set<std::string> cli = Matches(cliHelp, option);
  for (const std::string& command :
       Matches(cliHelp, std::regex("assinador-nfse-cli ((remoto )?[a-z]+)"), 1))
    cli.insert(command);
  std::set<std::string> daemon = Matches(daemonHelp, option);
  // The configuration's keys as the server reads them.
  const std::string keys =
      TScratchDirectory::ReadBytes(kSource / "server" / "classes" / "config_messages.h");
  for (const std::string& key :
       Matches(keys, std::regex("constexpr std::string_view k[A-Za-z]*Key = \"([A-Z_]+)\""), 1))
    daemon.insert(key);
  ASSERT_GT(daemon.size(), 6u);

  struct Document {
    const char* name;
    std::string text;
    const std::set<std::string>* wanted;
  };
  const Document documents[] = {
      {"assinador-nfse-cli.1", ManualPage("assinador-nfse-cli.1"), &cli},
      {"README.md (assinador-nfse-cli)", readme, &cli},
      {"assinador-nfsed.1", ManualPage("assinador-nfsed.1"), &daemon},
      {"README.md (assinador-nfsed)", readme, &daemon},
  };
  for (const Document& document : documents) {
    for (const std::string& wanted : *document.wanted) {
      EXPECT_NE(document.text.find(wanted), std::string::npos)
          << document.name << " não descreve " << wanted;
    }
  }
}

}  // namespace
