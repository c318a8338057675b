#include "platform/password_hash.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/error_of.h"

namespace {

using password_hash::TPasswordHash;

// Made by Python's hashlib.pbkdf2_hmac("sha256", ...), an implementation of its own.
const std::string kKnown =
    "pbkdf2-sha256$1000$AAECAwQFBgcICQoLDA0ODw==$VBvg07RCNZsnOhGotJR33vxRbMeAcKbG8l4QGi5ov8A=";

TEST(PasswordHashTest, MadeHashVerifiesItsPasswordOnlyAndReadsBackUnchanged) {
  const TPasswordHash made = TPasswordHash::Make("senha secreta", 1000);
  const std::string text = made.ToString();
  EXPECT_TRUE(text.starts_with("pbkdf2-sha256$1000$")) << text;
  const TPasswordHash parsed = TPasswordHash::Parse(text);
  EXPECT_EQ(parsed.ToString(), text);
  EXPECT_EQ(parsed.Iterations(), 1000u);
  EXPECT_TRUE(parsed.Verify("senha secreta"));
  for (const char* wrong : {"", "senha secret", "senha secretaa", "Senha secreta", "senha\0"})
    EXPECT_FALSE(parsed.Verify(wrong)) << wrong;
  // A new salt each time: the same password never gives the same text.
  EXPECT_NE(TPasswordHash::Make("senha secreta", 1000).ToString(), text);
}

// What "assinador-nfse-cli senha" writes, as the README and the manual page document it:
// pbkdf2-sha256$600000$SALT$HASH, a fresh salt each time.
TEST(PasswordHashTest, MadeHashesHaveTheDocumentedFormAndAFreshSalt) {
  const TPasswordHash made = TPasswordHash::Make("x");
  const std::string text = made.ToString();
  EXPECT_EQ(text.rfind("pbkdf2-sha256$600000$", 0), 0u) << text;
  EXPECT_TRUE(made.Verify("x"));
  EXPECT_FALSE(made.Verify("y"));
  EXPECT_TRUE(TPasswordHash::Parse(text).Verify("x"));
  EXPECT_NE(TPasswordHash::Make("x").ToString(), text) << "the salt is drawn anew";
}

TEST(PasswordHashTest, AgreesWithAnotherImplementation) {
  const TPasswordHash known = TPasswordHash::Parse(kKnown);
  EXPECT_TRUE(known.Verify("senha secreta"));
  EXPECT_FALSE(known.Verify("senha secreta "));
  EXPECT_TRUE(TPasswordHash::Parse("pbkdf2-sha256$1000$AAECAwQFBgcICQoLDA0ODw==$"
                                   "odqWyhAxNA7O0ZhQABk+Va6IsdAIzd/pPwGO4mtu86o=")
                  .Verify("ação"));
}

TEST(PasswordHashTest, MalformedTextsAreRefusedWithTheReason) {
  const std::string salt = "AAECAwQFBgcICQoLDA0ODw==";
  const std::string hash = "VBvg07RCNZsnOhGotJR33vxRbMeAcKbG8l4QGi5ov8A=";
  struct Case {
    const char* name;
    std::string text;
    const char* reason;
  };
  const Case kCases[] = {
      {"empty", "", "não é um hash de senha"},
      {"a password in clear", "minhasenha", "não é um hash de senha"},
      {"three fields", "pbkdf2-sha256$1000$" + salt, "não é um hash de senha"},
      {"five fields", kKnown + "$", "não é um hash de senha"},
      {"other scheme", "bcrypt$1000$" + salt + "$" + hash, "o método não é pbkdf2-sha256"},
      {"scheme in capitals", "PBKDF2-SHA256$1000$" + salt + "$" + hash, "o método não é"},
      {"no iterations", "pbkdf2-sha256$$" + salt + "$" + hash, "iterações"},
      {"too few iterations", "pbkdf2-sha256$999$" + salt + "$" + hash, "de 1000 a 10000000"},
      {"too many iterations", "pbkdf2-sha256$10000001$" + salt + "$" + hash, "iterações"},
      {"iterations beyond 32 bits", "pbkdf2-sha256$99999999999$" + salt + "$" + hash, "iterações"},
      {"iterations with a sign", "pbkdf2-sha256$+1000$" + salt + "$" + hash, "iterações"},
      {"iterations with a leading zero", "pbkdf2-sha256$01000$" + salt + "$" + hash, "iterações"},
      {"iterations with a blank", "pbkdf2-sha256$1000 $" + salt + "$" + hash, "iterações"},
      {"salt not base64", "pbkdf2-sha256$1000$sal!sal!sal!$" + hash, "o sal"},
      {"salt too short", "pbkdf2-sha256$1000$AAECAw==$" + hash, "o sal"},
      {"salt without padding", "pbkdf2-sha256$1000$AAECAwQFBgcICQoLDA0ODw$" + hash, "o sal"},
      {"salt with a line break", "pbkdf2-sha256$1000$AAECAwQFBgcI\nCQoLDA0ODw==$" + hash, "o sal"},
      {"hash too short", "pbkdf2-sha256$1000$" + salt + "$AAECAwQFBgcICQoLDA0ODw==", "o hash"},
      {"hash not canonical",
       "pbkdf2-sha256$1000$" + salt + "$" + hash.substr(0, 42) + "B=", "o hash"},
      {"padding inside", "pbkdf2-sha256$1000$" + salt + "$VBvg=7RC" + hash.substr(8), "o hash"},
      {"trailing blank", kKnown + " ", "o hash"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string message = ErrorOf([&] { TPasswordHash::Parse(c.text); }).Utf8();
    EXPECT_NE(message.find(c.reason), std::string::npos) << message;
    EXPECT_NE(message.find("assinador-nfse-cli senha"), std::string::npos) << message;
  }
}

TEST(PasswordHashTest, Base64IsStrict) {
  for (const std::string& bytes :
       std::vector<std::string>{"", "a", "ab", "abc", "abcd", std::string("\0\xff\x10", 3)}) {
    std::string back;
    if (bytes.empty()) {
      EXPECT_FALSE(password_hash::FromBase64(password_hash::Base64(bytes), back));
      continue;
    }
    ASSERT_TRUE(password_hash::FromBase64(password_hash::Base64(bytes), back)) << bytes;
    EXPECT_EQ(back, bytes);
  }
  std::string ignored;
  for (const char* bad : {"YQ", "YQ=", "YR==", "Y===", " YQ==", "YQ==\n", "Y Q=", "=YQ="})
    EXPECT_FALSE(password_hash::FromBase64(bad, ignored)) << bad;
}

}  // namespace
