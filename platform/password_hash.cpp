#include "platform/password_hash.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <charconv>
#include <vector>

#include "platform/exception.h"
#include "platform/openssl_handles.h"

namespace password_hash {

namespace {

std::string Derive(std::string_view APassword, std::string_view ASalt, std::uint32_t AIterations) {
  std::string hash(kHashBytes, '\0');
  if (PKCS5_PBKDF2_HMAC(APassword.data(), static_cast<int>(APassword.size()),
                        reinterpret_cast<const unsigned char*>(ASalt.data()),
                        static_cast<int>(ASalt.size()), static_cast<int>(AIterations), EVP_sha256(),
                        static_cast<int>(hash.size()),
                        reinterpret_cast<unsigned char*>(hash.data())) != 1)
    openssl::ThrowError("PKCS5_PBKDF2_HMAC");
  return hash;
}

[[noreturn]] void Malformed(std::string_view AReason) {
  throw Exception(std::string(AReason) + " (o formato é " + std::string(kScheme) +
                  "$ITERAÇÕES$SAL$HASH; gere-o com \"assinador-nfse-cli senha\").");
}

}  // namespace

std::string Base64(std::string_view ABytes) {
  std::string text(4 * ((ABytes.size() + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                     reinterpret_cast<const unsigned char*>(ABytes.data()),
                                     static_cast<int>(ABytes.size()));
  text.resize(static_cast<std::size_t>(length));
  return text;
}

bool FromBase64(std::string_view AText, std::string& ABytes) {
  if (AText.empty() || AText.size() % 4 != 0) return false;
  // EVP_DecodeBlock passes over blanks and keeps the padding's zero bytes: the text is checked
  // here and the decoding is written back and compared, so only the canonical form passes.
  for (const char c : AText) {
    const bool digit = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '+' || c == '/' || c == '=';
    if (!digit) return false;
  }
  const std::size_t padding = AText.ends_with("==") ? 2 : AText.ends_with('=') ? 1 : 0;
  if (AText.find('=') < AText.size() - padding) return false;
  std::string bytes(AText.size() / 4 * 3, '\0');
  if (EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                      reinterpret_cast<const unsigned char*>(AText.data()),
                      static_cast<int>(AText.size())) < 0)
    return false;
  bytes.resize(bytes.size() - padding);
  if (Base64(bytes) != AText) return false;
  ABytes = std::move(bytes);
  return true;
}

TPasswordHash TPasswordHash::Make(std::string_view APassword, std::uint32_t AIterations) {
  if (AIterations < kMinIterations || AIterations > kMaxIterations)
    throw Exception(std::string_view{"número de iterações fora dos limites"});
  TPasswordHash made;
  made.FIterations = AIterations;
  made.FSalt.assign(kSaltBytes, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(made.FSalt.data()),
                 static_cast<int>(made.FSalt.size())) != 1)
    openssl::ThrowError("RAND_bytes");
  made.FHash = Derive(APassword, made.FSalt, AIterations);
  return made;
}

TPasswordHash TPasswordHash::Parse(std::string_view AText) {
  std::vector<std::string_view> fields;
  for (std::size_t at = 0;;) {
    const std::size_t end = AText.find('$', at);
    fields.push_back(AText.substr(at, end == std::string_view::npos ? end : end - at));
    if (end == std::string_view::npos) break;
    at = end + 1;
  }
  if (fields.size() != 4) Malformed("não é um hash de senha");
  // Not quoted: a password typed in clear by mistake would go to the journal.
  if (fields[0] != kScheme) Malformed("o método não é " + std::string(kScheme));
  TPasswordHash parsed;
  const std::string_view count = fields[1];
  const auto [end, error] =
      std::from_chars(count.data(), count.data() + count.size(), parsed.FIterations);
  if (count.empty() || count.front() == '0' || error != std::errc() ||
      end != count.data() + count.size() || parsed.FIterations < kMinIterations ||
      parsed.FIterations > kMaxIterations)
    Malformed("o número de iterações deve ir de " + std::to_string(kMinIterations) + " a " +
              std::to_string(kMaxIterations));
  if (!FromBase64(fields[2], parsed.FSalt) || parsed.FSalt.size() < kMinSaltBytes ||
      parsed.FSalt.size() > kMaxSaltBytes)
    Malformed("o sal deve ser base64 de " + std::to_string(kMinSaltBytes) + " a " +
              std::to_string(kMaxSaltBytes) + " bytes");
  if (!FromBase64(fields[3], parsed.FHash) || parsed.FHash.size() != kHashBytes)
    Malformed("o hash deve ser base64 de " + std::to_string(kHashBytes) + " bytes");
  return parsed;
}

bool TPasswordHash::Verify(std::string_view APassword) const {
  const std::string computed = Derive(APassword, FSalt, FIterations);
  return CRYPTO_memcmp(computed.data(), FHash.data(), kHashBytes) == 0;
}

std::string TPasswordHash::ToString() const {
  return std::string(kScheme) + "$" + std::to_string(FIterations) + "$" + Base64(FSalt) + "$" +
         Base64(FHash);
}

}  // namespace password_hash
