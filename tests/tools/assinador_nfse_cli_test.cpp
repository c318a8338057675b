// Runs the built assinador-nfse-cli as a user would, against a temporary certificate store.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <utility>

#include "platform/text.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/signature_check.h"
#include "tests/support/test_certificates.h"
#include "tests/tools/cli_fixture.h"

namespace {

using test_certificates::Certificate;
using test_certificates::TCertificateRequest;
using test_certificates::TTestStore;

TEST_F(CliTest, UsageErrorsExitWithStatus2) {
  struct Case {
    const char* name;
    std::string arguments;
  };
  const Case kCases[] = {
      {"no command", ""},
      {"unknown command", "apagar"},
      {"no serial", "assinar a.xml"},
      {"serial without value", "assinar a.xml --serie"},
      {"no file", "assinar --serie 01"},
      {"two outputs", "assinar a.xml --serie 01 --saida x.xml --pasta-saida y"},
      {"several files to standard output", "assinar a.xml b.xml --serie 01"},
      {"several files to one file", "assinar a.xml b.xml --serie 01 --saida x.xml"},
      {"unknown option", "assinar a.xml --serie 01 --rapido"},
      {"option given twice", "assinar a.xml --serie 01 --serie 02"},
      {"same name twice into one folder", "assinar a/n.xml b/n.xml --serie 01 --pasta-saida o"},
      {"extra argument to certificados", "certificados todos"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const TRun run = Run(c.arguments);
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_TRUE(run.out.empty());
    EXPECT_NE(run.err.find("--help"), std::string::npos) << run.err;
  }
}

TEST_F(CliTest, HelpIsInPortuguese) {
  const TRun run = Run("--help");
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("Uso:"), std::string::npos);
  EXPECT_NE(run.out.find("assinar ARQUIVO... --serie SERIE"), std::string::npos);
  EXPECT_NE(run.out.find("Código de saída"), std::string::npos);
  // What the signer expects of the document, with an example.
  for (const char* part :
       {"<assinatura/>", "Reference URI=\"\"", "URI=\"#ID\"", "rsa-sha1 ou rsa-sha256",
        "<SignatureMethod Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#rsa-sha256\"/>"})
    EXPECT_NE(run.out.find(part), std::string::npos) << part;
}

TEST_F(CliTest, SignedFileKeepsTheEncodingOfTheInput) {
  struct Case {
    const char* name;
    std::string input;
    std::string expectedStart;  // mark or declaration as the output must begin
    std::string accentedBytes;  // "manutenção" as the output encodes it
    Text (*decode)(const std::string& ABytes);
  };
  const std::string latin1Declaration = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>";
  const std::string utf16Declaration = "<?xml version=\"1.0\" encoding=\"UTF-16\"?>";
  const Case kCases[] = {
      {"UTF-8 without mark or declaration", kDocument, "<nfse>", "manutenção",
       [](const std::string& b) { return text::FromUtf8(b); }},
      {"UTF-8 with mark", "\xEF\xBB\xBF" + kDocument, "\xEF\xBB\xBF<nfse>", "manutenção",
       [](const std::string& b) { return text::FromUtf8(b.substr(3)); }},
      {"ISO-8859-1 by declaration", latin1Declaration + text::ToLatin1(text::FromUtf8(kDocument)),
       latin1Declaration, "manuten\xE7\xE3o",
       [](const std::string& b) { return text::FromLatin1(b); }},
      {"UTF-16 LE with mark", "\xFF\xFE" + Utf16(utf16Declaration + kDocument, false),
       "\xFF\xFE" + Utf16(utf16Declaration, false), Utf16("manutenção", false),
       [](const std::string& b) { return FromUtf16(std::string_view(b).substr(2), false); }},
      {"UTF-16 BE with mark", "\xFE\xFF" + Utf16(utf16Declaration + kDocument, true),
       "\xFE\xFF" + Utf16(utf16Declaration, true), Utf16("manutenção", true),
       [](const std::string& b) { return FromUtf16(std::string_view(b).substr(2), true); }},
      // Written with its mark: without one, other readers take the file for UTF-8.
      {"UTF-16 LE without mark", Utf16(utf16Declaration + kDocument, false),
       "\xFF\xFE" + Utf16(utf16Declaration, false), Utf16("manutenção", false),
       [](const std::string& b) { return FromUtf16(std::string_view(b).substr(2), false); }},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Write("entrada.xml", c.input);
    std::filesystem::remove(Path("saida.xml"));
    const TRun toFile = Run("assinar entrada.xml --serie " + FSerial + " --saida saida.xml");
    ASSERT_EQ(toFile.status, 0) << toFile.err;
    const std::string output = Read("saida.xml");
    EXPECT_TRUE(output.starts_with(c.expectedStart));
    EXPECT_NE(output.find(c.accentedBytes), std::string::npos);
    EXPECT_EQ(output.find_first_of("\r\n"), std::string::npos) << "no line break byte at all";
    EXPECT_TRUE(Verifies("saida.xml")) << output;
    EXPECT_EQ(signature_check::VerifyInProcess(c.decode(output)), "");

    const TRun toStdout = Run("assinar entrada.xml --serie " + FSerial);
    EXPECT_EQ(toStdout.status, 0) << toStdout.err;
    EXPECT_EQ(toStdout.out, output) << "standard output gets the same bytes";
  }
}

TEST_F(CliTest, SignsTheBundledSamples) {
  for (const char* sample : {"nfse_sample.xml", "nfse_charref_lines.xml"}) {
    SCOPED_TRACE(sample);
    const std::string input = std::string(ASSINADOR_TEST_DATA) + "/" + sample;
    const TRun run = Run("assinar '" + input + "' --serie " + FSerial);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.find_first_of("\r\n"), std::string::npos);
    Write("assinado.xml", run.out);
    EXPECT_TRUE(Verifies("assinado.xml")) << run.out;
    EXPECT_EQ(signature_check::VerifyInProcess(text::FromUtf8(run.out)), "");
  }
}

TEST_F(CliTest, DashReadsStandardInput) {
  const TRun run = Run("assinar - --serie " + FSerial, kDocument);
  ASSERT_EQ(run.status, 0) << run.err;
  Write("assinado.xml", run.out);
  EXPECT_TRUE(Verifies("assinado.xml")) << run.out;
  EXPECT_EQ(signature_check::VerifyInProcess(text::FromUtf8(run.out)), "");
}

// Every failure to sign a file starts with a sentence that names the file and the
// certificate; the reason follows in Portuguese, the library's own words after "Detalhe:".
TEST_F(CliTest, FailureNamesTheFileAndTheSerialAndSaysWhy) {
  struct Case {
    const char* name;
    std::string serial;
    std::string input;
    std::string err;  // after the sentence naming the file and the serial
  };
  const Case kCases[] = {
      {"unknown serial", "FFEE", kDocument,
       "Nenhum certificado com esse número de série no repositório nem num token conectado. "
       "Veja os certificados com \"assinador-nfse-cli certificados\".\n"},
      {"malformed XML", FSerial, "<nfse>",
       "O arquivo não pôde ser lido como documento XML.\n"
       "Detalhe: Premature end of data in tag nfse line 1\n"},
      {"no place for the signature", FSerial, "<nfse><inf Id=\"n1\"/></nfse>",
       "[SignerNFSEDocument] Erro na Assinatura do Documento.\n"
       "[TSignerNFSEDocument] É preciso carregar o template antes de assinar.\n"
       "O documento não tem onde pôr a assinatura: falta o marcador <assinatura/> ou um elemento "
       "Signature de XML-DSig (veja \"assinador-nfse-cli assinar --help\").\n"},
      {"ill-formed UTF-8", FSerial, "<nfse>\xC3</nfse>", "O arquivo não está em UTF-8 válido.\n"},
      {"lone UTF-16 surrogate", FSerial,
       "\xFF\xFE" + Utf16("<nfse>", false) + std::string("\x00\xD8", 2),
       "O arquivo não está em UTF-16 válido: surrogate isolado.\n"},
      {"unsupported encoding", FSerial, "<?xml version=\"1.0\" encoding=\"EBCDIC\"?><a/>",
       "Codificação não suportada: \"ebcdic\" (use UTF-8, ISO-8859-1 ou UTF-16).\n"},
      {"two byte-order marks", FSerial, "\xEF\xBB\xBF\xEF\xBB\xBF" + kDocument,
       "O arquivo não é XML bem formado: Marca de ordem de bytes repetida no início do "
       "documento.\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Write("nota.xml", c.input);
    const TRun run = Run("assinar nota.xml --serie '" + c.serial + "'");
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.out.empty());
    EXPECT_EQ(run.err, "Não foi possível assinar \"nota.xml\" com o certificado " + c.serial +
                           ".\n" + c.err);
  }
}

// System errors are told in Portuguese, naming the file.
TEST_F(CliTest, SystemErrorsAreToldInPortuguese) {
  Write("nota.xml", kDocument);
  std::filesystem::create_directories(Path("pasta.xml"));
  struct Case {
    const char* name;
    std::string arguments;
    std::string message;
  };
  const Case kCases[] = {
      {"missing input", "assinar nao-existe.xml --serie " + FSerial,
       "Não foi possível assinar \"nao-existe.xml\" com o certificado " + FSerial +
           ".\nNão foi possível abrir \"nao-existe.xml\": o arquivo ou a pasta não existe.\n"},
      {"folder as input", "assinar pasta.xml --serie " + FSerial,
       "Não foi possível ler \"pasta.xml\": é uma pasta, não um arquivo.\n"},
      {"output in a missing folder",
       "assinar nota.xml --serie " + FSerial + " --saida nao-existe/saida.xml",
       "Não foi possível gravar \"nao-existe/saida.xml\": o arquivo ou a pasta não existe.\n"},
      // Told at start, before any document is read.
      {"missing PIN file", "assinar nota.xml --serie " + FSerial + " --pin-arquivo nao-existe",
       "Não foi possível ler o arquivo de PIN \"nao-existe\": o arquivo ou a pasta não existe.\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const TRun run = Run(c.arguments);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.err.ends_with(c.message)) << run.err;
    EXPECT_TRUE(run.err.starts_with("Não foi possível")) << run.err;
  }
}

// --saida naming the input, or --pasta-saida its folder, would replace the original: refused
// before anything is signed, unless --sobrescrever is given.
TEST_F(CliTest, SigningOntoTheInputNeedsSobrescrever) {
  Write("lote/nota.xml", kDocument);
  std::filesystem::create_symlink("nota.xml", Path("lote/atalho.xml"));
  struct Case {
    const char* name;
    std::string output;
    std::string message;
  };
  const Case kCases[] = {
      {"same file", "--saida lote/nota.xml", "é o próprio arquivo de entrada"},
      {"same file, another spelling", "--saida ./lote/../lote/nota.xml",
       "é o próprio arquivo de entrada"},
      {"a link to the input", "--saida lote/atalho.xml", "é o próprio arquivo de entrada"},
      {"the input's folder", "--pasta-saida lote", "é a pasta de \"lote/nota.xml\""},
      {"the input's folder, absolute", "--pasta-saida '" + Path("lote") + "'",
       "é a pasta de \"lote/nota.xml\""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    for (const std::string command : {"assinar", "remoto assinar --servidor 127.0.0.1:1"}) {
      const TRun run = Run(command + " lote/nota.xml --serie " + FSerial + " " + c.output);
      EXPECT_EQ(run.status, 2) << run.err;
      EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
      EXPECT_NE(run.err.find("--sobrescrever"), std::string::npos) << run.err;
      EXPECT_EQ(Read("lote/nota.xml"), kDocument);
    }
    const TRun forced =
        Run("assinar lote/nota.xml --serie " + FSerial + " " + c.output + " --sobrescrever");
    EXPECT_EQ(forced.status, 0) << forced.err;
    EXPECT_TRUE(Verifies("lote/nota.xml"));
    Write("lote/nota.xml", kDocument);
  }
}

TEST_F(CliTest, VersionIsTheProjects) {
  const TRun run = Run("--version");
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.out.starts_with("assinador-nfse-cli 1.")) << run.out;
  EXPECT_TRUE(run.out.ends_with("\n"));
}

TEST_F(CliTest, SeveralFilesReportEachOutcome) {
  Write("lote/a.xml", kDocument);
  Write("lote/b.xml", "<nfse><sem-fim></nfse>");
  Write("lote/c.xml", kDocument);
  const TRun run = Run("assinar lote/a.xml lote/b.xml lote/c.xml --serie " + FSerial +
                       " --pasta-saida assinados");
  EXPECT_EQ(run.status, 1) << "one of them failed";
  EXPECT_TRUE(Verifies("assinados/a.xml"));
  EXPECT_TRUE(Verifies("assinados/c.xml"));
  EXPECT_FALSE(std::filesystem::exists(Path("assinados/b.xml")));
  EXPECT_NE(run.out.find("lote/a.xml: assinado em assinados/a.xml\n"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("lote/c.xml: assinado em assinados/c.xml\n"), std::string::npos);
  EXPECT_NE(run.err.find("lote/b.xml: ERRO\nNão foi possível assinar \"lote/b.xml\" com o "
                         "certificado " +
                         FSerial + ".\nO arquivo não pôde ser lido como documento XML.\n"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("2 de 3 arquivo(s) assinado(s)."), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find('\x1b'), std::string::npos) << "no progress line off a terminal";

  const TRun allGood = Run("assinar lote/a.xml lote/c.xml --serie " + FSerial +
                           " --pasta-saida lote --sobrescrever");
  EXPECT_EQ(allGood.status, 0) << allGood.err;
  EXPECT_TRUE(Verifies("lote/a.xml")) << "signed in place";
}

TEST_F(CliTest, ProgressLineShowsOnATerminal) {
  Write("a.xml", kDocument);
  Write("b.xml", kDocument);
  // script(1) runs the program on a pseudo-terminal and copies what it shows.
  const std::string command = "cd '" + FDir.Path().string() +
                              "' && LC_ALL=C.UTF-8 script -qec \"'" +
                              ASSINADOR_BINARY_DIR "/assinador-nfse-cli' assinar a.xml b.xml " +
                              "--serie " + FSerial + " --pasta-saida saida\" /dev/null >tela 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << Read("tela");
  const std::string screen = Read("tela");
  EXPECT_NE(screen.find("\r\x1b[K[1/2] assinando a.xml"), std::string::npos) << screen;
  EXPECT_NE(screen.find("\r\x1b[K[2/2] assinando b.xml"), std::string::npos) << screen;
  EXPECT_NE(screen.find("2 de 2 arquivo(s) assinado(s)."), std::string::npos) << screen;
}

// A document that does not load is quoted by the service whole; people get its file's name
// and the parser's reason instead.
TEST_F(CliTest, LoadFailureNamesTheFileNotItsContent) {
  Write("grande.xml", "<nfse>" + std::string(20000, 'x') + "<assinatura/>");
  const TRun run = Run("assinar grande.xml --serie " + FSerial);
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.err.starts_with("Não foi possível assinar \"grande.xml\" com o certificado " +
                                  FSerial +
                                  ".\nO arquivo não pôde ser lido como documento XML.\n"
                                  "Detalhe: "))
      << run.err.substr(0, 300);
  EXPECT_EQ(run.err.find("xxxx"), std::string::npos) << run.err.substr(0, 300);
}

TEST_F(CliTest, OutputToSpecialFilesAndLinks) {
  Write("nota.xml", kDocument);
  // A FIFO is written into, not replaced by a regular file.
  ASSERT_EQ(::mkfifo(Path("fila").c_str(), 0600), 0);
  // The reader holds no descriptor of the test runner's, so one left behind cannot keep the
  // runner waiting for its output.
  const std::string reader =
      "cat '" + Path("fila") + "' > '" + Path("lido.xml") + "' < /dev/null 2> /dev/null &";
  ASSERT_EQ(std::system(reader.c_str()), 0);
  const TRun fifo = Run("assinar nota.xml --serie " + FSerial + " --saida fila");
  EXPECT_EQ(fifo.status, 0) << fifo.err;
  for (int i = 0; i < 100 && Read("lido.xml").empty(); ++i) ::usleep(20000);
  // Should the program not have written, an empty write end lets the reader finish anyway.
  if (const int release = ::open(Path("fila").c_str(), O_WRONLY | O_NONBLOCK); release >= 0)
    ::close(release);
  EXPECT_TRUE(std::filesystem::is_fifo(Path("fila")));
  EXPECT_TRUE(Read("lido.xml").starts_with("<nfse>")) << Read("lido.xml");

  // A device that refuses the bytes is a failure, and stays the device.
  const TRun full = Run("assinar nota.xml --serie " + FSerial + " --saida /dev/full");
  EXPECT_EQ(full.status, 1);
  EXPECT_NE(full.err.find("/dev/full"), std::string::npos) << full.err;
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));

  // A symbolic link is followed: its target gets the document, the link stays a link.
  Write("alvo.xml", "antigo");
  std::filesystem::create_symlink("alvo.xml", Path("atalho.xml"));
  const TRun link = Run("assinar nota.xml --serie " + FSerial + " --saida atalho.xml");
  EXPECT_EQ(link.status, 0) << link.err;
  EXPECT_TRUE(std::filesystem::is_symlink(Path("atalho.xml")));
  EXPECT_TRUE(Verifies("alvo.xml")) << Read("alvo.xml");
}

TEST_F(CliTest, MissingStoreFolderIsNamed) {
  const std::string folder = Path("nao-existe");
  const TRun run = Run("certificados", "");
  EXPECT_EQ(run.status, 0);
  setenv("ASSINADOR_NFSE_STORE", folder.c_str(), 1);  // restored by the store fixture
  const TRun missing = Run("certificados");
  EXPECT_EQ(missing.status, 0);
  EXPECT_TRUE(missing.out.empty());
  EXPECT_EQ(missing.err, "Pasta do repositório de certificados não encontrada: " + folder + "\n");
  EXPECT_TRUE(run.err.empty()) << run.err;
}

TEST_F(CliTest, CertificadosListsTheStoreAsATable) {
  FStore.Add(Certificate("outra.pem", "OUTRA", "0C"));
  const TRun table = Run("certificados");
  EXPECT_EQ(table.status, 0) << table.err;
  EXPECT_TRUE(table.err.empty()) << table.err;
  const std::string issuer = test_certificates::kCaCommonName;
  // Columns line up under their headings; no column of situations while all are valid.
  const std::string header = LineWith(table.out, "Titular");
  const std::string first = LineWith(table.out, "EMPRESA EXEMPLO LTDA");
  EXPECT_TRUE(table.out.starts_with(header + "\n")) << table.out;
  EXPECT_EQ(header.find("Situação"), std::string::npos) << header;
  // Columns counted in characters: the headings hold accented letters.
  const auto column = [](const std::string& ALine, const std::string& ACell) {
    return text::FromUtf8(ALine).find(text::FromUtf8(ACell));
  };
  EXPECT_EQ(column(header, "Série"), column(first, FSerial)) << table.out;
  EXPECT_EQ(column(header, "Emissor"), column(first, issuer)) << table.out;
  EXPECT_TRUE(first.ends_with(issuer)) << first;
  EXPECT_EQ(column(LineWith(table.out, "OUTRA"), "0C"), column(first, FSerial)) << table.out;
  EXPECT_NE(header.find("Válido até"), std::string::npos) << header;
  EXPECT_EQ(std::count(table.out.begin(), table.out.end(), '\n'), 3);

  const TRun raw = Run("certificados --bruto");
  EXPECT_EQ(raw.status, 0) << raw.err;
  EXPECT_TRUE(raw.out.starts_with("\"EMPRESA EXEMPLO LTDA=serial=")) << raw.out;
  EXPECT_NE(raw.out.find("\";\"OUTRA=serial=0C|"), std::string::npos) << raw.out;
  EXPECT_EQ(std::count(raw.out.begin(), raw.out.end(), '\n'), 1);
}

// Files of the store that cannot be used are named with the reason, and the listing goes on.
TEST_F(CliTest, CertificadosNamesTheStoreFilesItSkips) {
  const auto dir = FStore.Directory();
  std::string protectedSerial;
  TScratchDirectory::WriteBytes(dir / "vazio.pem", "não é um certificado");
  TScratchDirectory::WriteBytes(dir / "ilegivel.pem", "");
  std::filesystem::permissions(dir / "ilegivel.pem", std::filesystem::perms::none);
  const std::string pfx = "openssl pkcs12 -export -in '" + (dir / "empresa.pem").string() +
                          "' -passout pass:segredo -out '" + (dir / "protegido.pfx").string() + "'";
  ASSERT_EQ(std::system(pfx.c_str()), 0);
  struct Case {
    const char* file;
    std::string reason;
  };
  const Case kCases[] = {
      {"protegido.pfx",
       "protegido por senha; inclua-o no repositório com \"assinador-nfse-cli "
       "importar\""},
      {"vazio.pem", "o arquivo não contém um certificado utilizável"},
      {"ilegivel.pem", ::geteuid() == 0 ? "" : "não foi possível ler o arquivo"},
  };
  for (const char* arguments : {"certificados", "certificados --bruto"}) {
    SCOPED_TRACE(arguments);
    const TRun run = Run(arguments);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("EMPRESA EXEMPLO LTDA"), std::string::npos) << run.out;
    for (const auto& c : kCases) {
      SCOPED_TRACE(c.file);
      const std::string line = LineWith(run.err, (dir / c.file).string());
      EXPECT_TRUE(line.starts_with("Arquivo ignorado no repositório de certificados: ")) << run.err;
      EXPECT_NE(line.find(c.reason), std::string::npos) << line;
    }
  }
}

// The mark and the warning go to people only: the raw list stays the service's text and the
// signature is made all the same.
TEST_F(CliTest, CertificatesOutsideTheirValidityAreMarkedAndWarnedOf) {
  const std::time_t now = std::time(nullptr);
  struct Case {
    const char* name;
    test_certificates::TCertificateRequest wanted;
    std::string state;
    std::string warning;  // empty: none
  };
  const Case kCases[] = {
      {"valid", Certificate("valido.pem", "EMPRESA VALIDA"), "", ""},
      {"expired", Certificate("vencido.pem", "EMPRESA VENCIDA").Expired(), "VENCIDO",
       " (EMPRESA VENCIDA) venceu em "},
      {"not yet valid",
       Certificate("futuro.pem", "EMPRESA FUTURA")
           .NotBefore(now + 86400)
           .NotAfter(now + 90 * 86400),
       "ainda não válido", " (EMPRESA FUTURA) só é válido a partir de "},
  };
  Write("nota.xml", kDocument);
  for (std::size_t i = 0; i < std::size(kCases); ++i) {
    const Case& c = kCases[i];
    SCOPED_TRACE(c.name);
    std::string serial;
    FStore.Add(c.wanted, &serial);
    const TRun list = Run("certificados");
    const std::string shown = LineWith(list.out, c.wanted.commonName);
    ASSERT_NE(shown.find(serial), std::string::npos) << list.out;
    EXPECT_TRUE(shown.ends_with(c.state.empty() ? test_certificates::kCaCommonName : c.state))
        << shown;
    // The column of situations once the store holds a certificate outside its validity.
    EXPECT_EQ(LineWith(list.out, "Titular").ends_with("Situação"), i > 0) << list.out;
    EXPECT_EQ(Run("certificados --bruto").out.find("VENCIDO"), std::string::npos);
    EXPECT_EQ(Run("certificados --bruto").out.find("ainda não"), std::string::npos);

    const TRun signing = Run("assinar nota.xml --serie " + serial + " --saida assinada.xml");
    EXPECT_EQ(signing.status, 0) << signing.err;
    EXPECT_FALSE(Read("assinada.xml").empty());
    if (c.warning.empty()) {
      EXPECT_TRUE(signing.err.empty()) << signing.err;
    } else {
      EXPECT_TRUE(signing.err.starts_with("aviso: o certificado " + serial + c.warning))
          << signing.err;
      EXPECT_TRUE(signing.err.ends_with("; a prefeitura pode recusar a assinatura.\n"));
    }
  }
}

}  // namespace
