#pragma once

// A salted password hash in one line of text, for a configuration file:
//
//   pbkdf2-sha256$ITERATIONS$SALT$HASH
//
// PBKDF2-HMAC-SHA256 (OpenSSL) with ITERATIONS in decimal, SALT and HASH in standard base64 with
// padding; the hash is 32 bytes. The text says how it was made, so the count can be raised later
// without breaking the hashes already written.
//
// Immutable once made; any thread. Parse throws Exception with a Portuguese reason; Make and
// Verify throw Exception with OpenSSL's texts when the library fails.

#include <cstdint>
#include <string>
#include <string_view>

namespace password_hash {

inline constexpr std::string_view kScheme = "pbkdf2-sha256";
// What Make uses: a few tenths of a second on a desktop processor of 2024, which each
// server start pays once (password_authentication.h keeps what it verified).
inline constexpr std::uint32_t kDefaultIterations = 600000;
// Below this a hash is guessed too cheaply offline; above it a start's first connection waits
// seconds.
inline constexpr std::uint32_t kMinIterations = 1000;
inline constexpr std::uint32_t kMaxIterations = 10000000;
inline constexpr std::size_t kSaltBytes = 16;
inline constexpr std::size_t kMinSaltBytes = 8;
inline constexpr std::size_t kMaxSaltBytes = 64;
inline constexpr std::size_t kHashBytes = 32;

class TPasswordHash {
 public:
  // A new hash of APassword (its bytes as given) with a random salt.
  static TPasswordHash Make(std::string_view APassword,
                            std::uint32_t AIterations = kDefaultIterations);
  // The text form above, exactly: no blanks, canonical base64, iterations within bounds.
  static TPasswordHash Parse(std::string_view AText);

  // Whether APassword gives this hash; the comparison takes the same time wherever the bytes
  // differ.
  bool Verify(std::string_view APassword) const;

  std::string ToString() const;
  std::uint32_t Iterations() const { return FIterations; }

 private:
  TPasswordHash() = default;

  std::uint32_t FIterations = 0;
  std::string FSalt;
  std::string FHash;
};

// Standard base64 with padding, and its strict inverse: false for anything that is not exactly
// what Base64 writes (blanks, missing padding, bits past the last byte).
std::string Base64(std::string_view ABytes);
bool FromBase64(std::string_view AText, std::string& ABytes);

}  // namespace password_hash
