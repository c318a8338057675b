// "importar" and "remover" of assinador-nfse-cli: PKCS#12 files protected by a password, made
// with the openssl command as certificate authorities hand them out (old and new encryption)
// or piece by piece with the library for the broken ones, added to a temporary store that the
// program then lists and signs with.

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/openssl_handles.h"
#include "tests/support/test_certificates.h"
#include "tests/tools/cli_fixture.h"

namespace {

namespace fs = std::filesystem;
using test_certificates::Certificate;
using test_certificates::TCertificateRequest;
using test_certificates::TTestStore;

int ModeOf(const fs::path& APath) {
  struct stat info {};
  if (::stat(APath.c_str(), &info) != 0) return -1;
  return static_cast<int>(info.st_mode & 07777);
}

// The names in a folder, hidden ones included.
std::vector<std::string> Listing(const fs::path& AFolder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(AFolder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class StoreCliTest : public CliTest {
 protected:
  // A PKCS#12 file of a certificate with its key made by the openssl command, in FDir.
  std::string Pkcs12(const TCertificateRequest& AWanted, const std::string& APassword, bool ALegacy,
                     std::string* ASerial = nullptr) {
    const fs::path pem = FSources.Add(AWanted, ASerial);
    const std::string name = fs::path(AWanted.fileName).stem().string() + ".pfx";
    Write("senha-openssl", APassword + "\n");
    const std::string command = "openssl pkcs12 -export -in '" + pem.string() +
                                "' -passout file:'" + Path("senha-openssl") + "' -out '" +
                                Path(name) + "'" + (ALegacy ? " -legacy" : "") + " 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return name;
  }

  fs::path StoreFile(const std::string& ASerial) { return FStore.Directory() / (ASerial + ".pem"); }

  TTestStore FSources{false};
};

TEST_F(StoreCliTest, UsageErrorsSayWhatIsWrong) {
  struct Case {
    const char* name;
    std::string arguments;
    std::string message;
  };
  const Case kCases[] = {
      {"import without file", "importar", "falta o arquivo PKCS#12 (.pfx) a importar."},
      {"import of two files", "importar a.pfx b.pfx", "importe um arquivo de cada vez."},
      {"import from standard input", "importar -", "indique o nome do arquivo PKCS#12"},
      {"password file without name", "importar a.pfx --senha-arquivo",
       "falta o valor da opção --senha-arquivo."},
      {"empty password file name", "importar a.pfx --senha-arquivo=", "está vazio."},
      {"unknown import option", "importar a.pfx --senha x", "opção desconhecida: \"--senha\""},
      {"remove without serial", "remover", "falta o número de série do certificado a remover."},
      {"remove of two serials", "remover 01 02", "remova um certificado de cada vez."},
      {"remove of a blank serial", "remover '  '", "o número de série está vazio."},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const TRun run = Run(c.arguments);
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_TRUE(run.out.empty());
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
  }
}

TEST_F(StoreCliTest, ImportedCertificateIsListedAndSignsLikeAnyOther) {
  struct Case {
    const char* name;
    TCertificateRequest wanted;
    bool legacy;
    std::string password;
    bool passwordOnStandardInput;
  };
  const Case kCases[] = {
      {"AES, password file", Certificate("moderno.pem", "EMPRESA MODERNA LTDA"), false, "segredo",
       false},
      {"RC2-40 and 3DES, password file", Certificate("antigo.pem", "EMPRESA ANTIGA LTDA"), true,
       "segredo", false},
      {"legacy with chain, accented password on standard input",
       Certificate("cadeia.pem", "EMPRESA CADEIA LTDA").WithChain(), true, "sênha çom espaço",
       true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::string serial;
    const std::string pfx = Pkcs12(c.wanted, c.password, c.legacy, &serial);
    Write("senha.txt", c.password + "\nsegunda linha");
    const TRun run = c.passwordOnStandardInput
                         ? Run("importar " + pfx, c.password + "\n")
                         : Run("importar " + pfx + " --senha-arquivo senha.txt");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.err.empty()) << run.err;
    EXPECT_NE(run.out.find("Titular: " + c.wanted.commonName + "\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Número de série: " + serial + "\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Emissor: " + std::string(test_certificates::kCaCommonName)),
              std::string::npos);
    EXPECT_NE(run.out.find("Arquivo: " + StoreFile(serial).string()), std::string::npos);
    EXPECT_EQ(ModeOf(StoreFile(serial)), 0600);

    EXPECT_NE(LineWith(Run("certificados").out, c.wanted.commonName).find(serial),
              std::string::npos);
    Write("nota.xml", kDocument);
    const TRun signing = Run("assinar nota.xml --serie " + serial + " --saida assinada.xml");
    EXPECT_EQ(signing.status, 0) << signing.err;
    EXPECT_TRUE(Verifies("assinada.xml"));
  }
  EXPECT_EQ(Listing(FStore.Directory()).size(), 4u) << "no temporary file left behind";
}

// An expired certificate is imported (it may still be needed to look at old documents), with a
// warning that what it signs will not be accepted.
TEST_F(StoreCliTest, AnExpiredCertificateIsImportedWithAWarning) {
  std::string serial;
  const std::string pfx = Pkcs12(Certificate("vencido.pem").Expired(), "segredo", false, &serial);
  Write("senha.txt", "segredo");
  const TRun run = Run("importar " + pfx + " --senha-arquivo senha.txt");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("Número de série: " + serial), std::string::npos) << run.out;
  EXPECT_EQ(run.err.rfind("Atenção: o certificado venceu em ", 0), 0u) << run.err;
}

TEST_F(StoreCliTest, StoreFolderIsMadeForTheUserAlone) {
  const fs::path folder = FDir / "novo" / "assinador" / "My";
  const std::string pfx = Pkcs12(Certificate("a.pem"), "segredo", false);
  Write("senha.txt", "segredo");
  setenv("ASSINADOR_NFSE_STORE", folder.c_str(), 1);  // restored by the store fixture
  const TRun run = Run("importar " + pfx + " --senha-arquivo senha.txt");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ModeOf(folder), 0700);
  EXPECT_EQ(ModeOf(folder.parent_path()), 0700);
  EXPECT_EQ(Listing(folder).size(), 1u);
}

TEST_F(StoreCliTest, RefusedImportsLeaveTheStoreAsItWas) {
  std::string serial;
  const std::string pfx = Pkcs12(Certificate("a.pem", "EMPRESA A"), "segredo", true, &serial);
  Write("errada.txt", "Segredo\n");
  Write("lixo.pfx", std::string(3000, 'x'));
  // The certificate the store already has, in a PKCS#12 file of its own.
  Write("senha.txt", "segredo");
  const std::string existing = "empresa.pfx";
  ASSERT_EQ(
      std::system(("openssl pkcs12 -export -in '" + (FStore.Directory() / "empresa.pem").string() +
                   "' -passout pass:segredo -out '" + Path(existing) + "'")
                      .c_str()),
      0);
  const std::vector<std::string> before = Listing(FStore.Directory());

  struct Case {
    const char* name;
    std::string arguments;
    std::string stdinText;
    std::string message;
  };
  const Case kCases[] = {
      {"wrong password in a file", "importar " + pfx + " --senha-arquivo errada.txt", "",
       "Senha incorreta para o arquivo PKCS#12.\n"},
      {"wrong password on standard input", "importar " + pfx, "outra\n",
       "Senha incorreta para o arquivo PKCS#12.\n"},
      {"nothing on standard input", "importar " + pfx, "",
       "Nenhuma senha foi lida: a entrada padrão está vazia."},
      {"an empty line on standard input", "importar " + pfx, "\n",
       "Senha incorreta para o arquivo PKCS#12.\n"},
      {"not a PKCS#12 file", "importar lixo.pfx --senha-arquivo senha.txt", "",
       "O arquivo não é um PKCS#12 (.pfx/.p12) válido"},
      {"missing file", "importar nao-existe.pfx --senha-arquivo senha.txt", "",
       "Não foi possível abrir \"nao-existe.pfx\""},
      {"missing password file", "importar " + pfx + " --senha-arquivo nao-existe.txt", "",
       "Não foi possível abrir \"nao-existe.txt\""},
      {"serial already in the store", "importar " + existing + " --senha-arquivo senha.txt", "",
       "O repositório já tem um certificado com o número de série " + FSerial + ": " +
           (FStore.Directory() / "empresa.pem").string() + " (EMPRESA EXEMPLO LTDA).\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const TRun run = Run(c.arguments, c.stdinText);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.out.empty()) << run.out;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(Listing(FStore.Directory()), before);
  }

  // An entry of the same name is never replaced, even one the store cannot read.
  std::string otherSerial;
  FSources.Add(Certificate("c.pem"), &otherSerial);
  const std::string taken =
      Pkcs12(Certificate("d.pem", "EMPRESA D"), "segredo", false, &otherSerial);
  TScratchDirectory::WriteBytes(StoreFile(otherSerial), "não é um certificado");
  const TRun refused = Run("importar " + taken + " --senha-arquivo senha.txt");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("O repositório já tem um certificado com o número de série " +
                             otherSerial + ": " + StoreFile(otherSerial).string()),
            std::string::npos)
      << refused.err;
  EXPECT_EQ(TScratchDirectory::ReadBytes(StoreFile(otherSerial)), "não é um certificado");
  EXPECT_EQ(Listing(FStore.Directory()).size(), before.size() + 1);
}

// PKCS#12 files put together piece by piece: a certificate bag and a key bag, each protected
// with APassword, tied by a key identifier or not.
struct TBagsDeleter {
  void operator()(STACK_OF(PKCS12_SAFEBAG) * ABags) const {
    sk_PKCS12_SAFEBAG_pop_free(ABags, PKCS12_SAFEBAG_free);
  }
};
struct TSafesDeleter {
  void operator()(STACK_OF(PKCS7) * ASafes) const { sk_PKCS7_pop_free(ASafes, PKCS7_free); }
};

std::string HandMadePkcs12(const fs::path& ACertificateFile, const fs::path& AKeyFile,
                           const char* APassword, bool AKeyIdentifier) {
  BioPtr certIn{BIO_new_file(ACertificateFile.c_str(), "r")};
  BioPtr keyIn{BIO_new_file(AKeyFile.c_str(), "r")};
  X509Ptr cert{PEM_read_bio_X509(certIn.get(), nullptr, nullptr, nullptr)};
  EvpPkeyPtr key{PEM_read_bio_PrivateKey(keyIn.get(), nullptr, nullptr, nullptr)};
  if (!cert || !key) return {};
  const unsigned char id[] = {1, 2, 3, 4};
  const int pbe = NID_pbe_WithSHA1And3_Key_TripleDES_CBC;
  STACK_OF(PKCS12_SAFEBAG)* rawCerts = nullptr;
  PKCS12_SAFEBAG* certBag = PKCS12_add_cert(&rawCerts, cert.get());
  std::unique_ptr<STACK_OF(PKCS12_SAFEBAG), TBagsDeleter> certs{rawCerts};
  STACK_OF(PKCS12_SAFEBAG)* rawKeys = nullptr;
  PKCS12_SAFEBAG* keyBag =
      PKCS12_add_key(&rawKeys, key.get(), 0, PKCS12_DEFAULT_ITER, pbe, APassword);
  std::unique_ptr<STACK_OF(PKCS12_SAFEBAG), TBagsDeleter> keys{rawKeys};
  if (!certBag || !keyBag) return {};
  if (AKeyIdentifier &&
      (PKCS12_add_localkeyid(certBag, const_cast<unsigned char*>(id), sizeof id) != 1 ||
       PKCS12_add_localkeyid(keyBag, const_cast<unsigned char*>(id), sizeof id) != 1))
    return {};
  STACK_OF(PKCS7)* rawSafes = nullptr;
  const bool added =
      PKCS12_add_safe(&rawSafes, certs.get(), pbe, PKCS12_DEFAULT_ITER, APassword) == 1 &&
      PKCS12_add_safe(&rawSafes, keys.get(), -1, 0, nullptr) == 1;
  std::unique_ptr<STACK_OF(PKCS7), TSafesDeleter> safes{rawSafes};
  if (!added) return {};
  Pkcs12Ptr p12{PKCS12_add_safes(safes.get(), 0)};
  if (!p12 ||
      PKCS12_set_mac(p12.get(), APassword, -1, nullptr, 0, PKCS12_DEFAULT_ITER, nullptr) != 1)
    return {};
  BioPtr out{BIO_new(BIO_s_mem())};
  if (i2d_PKCS12_bio(out.get(), p12.get()) != 1) return {};
  char* data = nullptr;
  const long length = BIO_get_mem_data(out.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

TEST_F(StoreCliTest, KeyMustBelongToTheCertificate) {
  const std::string kNoCertificateForKey =
      "O arquivo PKCS#12 não contém o certificado da chave privada (nenhum certificado do "
      "arquivo corresponde à chave).\n";
  std::string serial;
  const fs::path own = FSources.Add(Certificate("propria.pem", "EMPRESA PROPRIA"), &serial);
  const fs::path other = FSources.Add(Certificate("outra.pem").OtherKeyPair());
  Write("senha.txt", "segredo");
  struct Case {
    const char* name;
    fs::path keyFile;
    bool keyIdentifier;
    std::string message;  // empty: imported
  };
  const Case kCases[] = {
      {"another certificate's key, tied to this one", other, true, kNoCertificateForKey},
      {"another certificate's key, nothing tied", other, false, kNoCertificateForKey},
      // Older tools wrote no key identifiers: the certificate the key belongs to is found.
      {"its own key, nothing tied", own, false, ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string bytes = HandMadePkcs12(own, c.keyFile, "segredo", c.keyIdentifier);
    ASSERT_FALSE(bytes.empty());
    Write("montado.pfx", bytes);
    const TRun run = Run("importar montado.pfx --senha-arquivo senha.txt");
    if (c.message.empty()) {
      EXPECT_EQ(run.status, 0) << run.err;
      EXPECT_EQ(ModeOf(StoreFile(serial)), 0600);
    } else {
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(run.err, "Não foi possível importar \"montado.pfx\":\n" + c.message);
      EXPECT_FALSE(fs::exists(StoreFile(serial)));
    }
  }
}

TEST_F(StoreCliTest, RemoverTakesOutEveryFileOfThatSerialAndNothingElse) {
  // The serial in other spellings, as the store's lookup accepts it.
  std::string spaced = " ";
  for (std::size_t i = 0; i < FSerial.size(); ++i) {
    if (i % 2 == 0) spaced += ' ';
    spaced += static_cast<char>(std::tolower(static_cast<unsigned char>(FSerial[i])));
  }
  fs::copy_file(FStore.Directory() / "empresa.pem", FStore.Directory() / "copia.crt");
  std::string otherSerial;
  FStore.Add(Certificate("outro.pem", "OUTRA"), &otherSerial);
  FStore.Add(Certificate("sem-chave.pfx", "SEM CHAVE", FSerial, false));
  TScratchDirectory::WriteBytes(FStore.Directory() / "lixo.pem", "não é um certificado");
  TScratchDirectory::WriteBytes(FStore.Directory() / "notas.txt", FSerial);

  const TRun run = Run("remover '" + spaced + "'");
  ASSERT_EQ(run.status, 0) << run.err;
  const fs::path dir = FStore.Directory();
  EXPECT_EQ(run.out, "Removido: " + (dir / "copia.crt").string() +
                         " (EMPRESA EXEMPLO LTDA, número de série " + FSerial + ")\n" +
                         "Removido: " + (dir / "empresa.pem").string() +
                         " (EMPRESA EXEMPLO LTDA, número de série " + FSerial + ")\n" +
                         "Removido: " + (dir / "sem-chave.pfx").string() +
                         " (SEM CHAVE, número de série " + FSerial + ")\n");
  EXPECT_EQ(Listing(dir), (std::vector<std::string>{"lixo.pem", "notas.txt", "outro.pem"}));

  const TRun again = Run("remover " + FSerial);
  EXPECT_EQ(again.status, 1);
  EXPECT_TRUE(again.out.empty());
  EXPECT_EQ(again.err, "Nenhum certificado com o número de série " + FSerial + " no repositório " +
                           dir.string() + ".\n");
  EXPECT_NE(LineWith(Run("certificados").out, "OUTRA").find(otherSerial), std::string::npos);
}

}  // namespace
