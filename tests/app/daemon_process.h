#pragma once

// The built assinador-nfsed run as a child process (see TChildProcess), in the C.UTF-8 locale
// whatever the caller's, so that its messages compare byte for byte.

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

class TDaemonProcess : public TChildProcess {
 public:
  // AEnvironment: "NAME=value" entries that replace the test's own (an empty value removes
  // it); AWrapper: a program (looked up in PATH) that runs the daemon, with its arguments.
  TDaemonProcess(const std::vector<std::string>& AArguments, std::filesystem::path AStderrFile,
                 const std::vector<std::string>& AEnvironment = {},
                 const std::vector<std::string>& AWrapper = {})
      : TChildProcess(CommandOf(AArguments, AWrapper), std::move(AStderrFile),
                      EnvironmentOf(AEnvironment)) {}

 private:
  static std::vector<std::string> CommandOf(const std::vector<std::string>& AArguments,
                                            const std::vector<std::string>& AWrapper) {
    std::vector<std::string> command = AWrapper;
    command.push_back(ASSINADOR_BINARY_DIR "/assinador-nfsed");
    command.insert(command.end(), AArguments.begin(), AArguments.end());
    return command;
  }
  static std::vector<std::string> EnvironmentOf(const std::vector<std::string>& AEnvironment) {
    std::vector<std::string> environment = {"LANG=", "LC_ALL=C.UTF-8"};
    environment.insert(environment.end(), AEnvironment.begin(), AEnvironment.end());
    return environment;
  }
};
