#pragma once

// How the commands read a password: the first line of a file (--senha-arquivo), typed at the
// terminal without echo, or the first line of standard input when that is no terminal. Shared
// by "importar" (the PKCS#12 file's password), "senha" (the password to hash) and the remote
// commands' --usuario (the password the server asks for).

#include <cstddef>
#include <optional>
#include <string>

// Passwords longer than this are refused: nobody types them, and a file or pipe that never
// ends a line is not read without bound.
inline constexpr std::size_t kMaxPassword = 4096;

// A string that holds a secret: wiped before its memory goes.
class TSecret {
 public:
  TSecret() = default;
  TSecret(const TSecret&) = delete;
  TSecret& operator=(const TSecret&) = delete;
  ~TSecret();
  std::string& Bytes() { return FBytes; }
  const std::string& Bytes() const { return FBytes; }

 private:
  std::string FBytes;
};

// Reads at most AMax bytes of AFile (all of it when it is shorter); throws Exception with
// ATooLong when it is longer, or with the system's reason when it cannot be read.
std::string ReadBounded(const std::string& AFile, std::size_t AMax, const std::string& ATooLong);

// The password from the first line of AFile when given, else typed at the terminal after
// APrompt (ACancelled is the failure of a cancelled prompt), else the first line of standard
// input. Throws Exception in Portuguese.
void ReadPassword(const std::optional<std::string>& AFile, const std::string& APrompt,
                  const std::string& ACancelled, std::string& APassword);
