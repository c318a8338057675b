#include "server/service/sign_failure_journal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "server/classes/signer_messages.h"
#include "server/service/service_messages.h"

namespace {

using namespace std::chrono_literals;

constexpr TextView kUnknown =
    u"[SignerNFSEDocumentRemoteAdapter] Erro na Assinatura do Documento.\r[Certificado] Erro ao "
    u"Obter o Certificado!\rCertificado Digital não encontrado!";

// At most one record per address and minute; the next record of an address counts what went
// unrecorded since its last one.
TEST(SignFailureJournal, OneRecordPerClientAndMinuteWithTheCountOfTheOthers) {
  struct Step {
    const char* client;
    std::chrono::seconds at;
    const char* unrecorded;  // what the record counts ("": nothing); null: no record
  };
  const Step kSteps[] = {
      {"192.168.0.7", 0s, ""},    {"192.168.0.7", 1s, nullptr}, {"192.168.0.7", 59s, nullptr},
      {"10.0.0.2", 30s, ""},      {"192.168.0.7", 60s, "2"},    {"192.168.0.7", 61s, nullptr},
      {"192.168.0.7", 200s, "1"}, {"192.168.0.7", 300s, ""},    {"::1", 300s, ""},
  };
  std::vector<Text> records;
  auto now = std::chrono::steady_clock::time_point{};
  const auto start = now;
  TSignFailureJournal journal(
      [&](TLogLevel ALevel, const Text& AMessage) {
        EXPECT_EQ(ALevel, TLogLevel::llError);
        records.push_back(AMessage);
      },
      [&] { return now; });
  for (const Step& step : kSteps) {
    SCOPED_TRACE(testing::Message() << step.client << " at " << step.at.count() << " s");
    now = start + step.at;
    const std::size_t before = records.size();
    journal.Failed(text::FromAscii(step.client), u"0A1B", Text(kUnknown));
    if (step.unrecorded == nullptr) {
      EXPECT_EQ(records.size(), before);
      continue;
    }
    ASSERT_EQ(records.size(), before + 1);
    Text expected = Text(service_messages::kSignRefused) + text::FromAscii(step.client) +
                    u" (certificado 0A1B).\r" + Text(kUnknown);
    if (*step.unrecorded != '\0') {
      expected += CR;
      expected += service_messages::kUnrecordedBefore;
      expected += text::FromAscii(step.unrecorded);
      expected += service_messages::kUnrecordedAfter;
    }
    EXPECT_EQ(records.back(), expected);
  }
}

TEST(SignFailureJournal, RecordsLeaveTheDocumentOut) {
  Text document(u"<nfse>");
  document.append(5000, u'x');
  const Text status =
      Text(signer_messages::kSignFailed) + u"\r" + Text(signer_messages::kLoadFailed) + document;
  EXPECT_EQ(TSignFailureJournal::WithoutDocument(status),
            Text(signer_messages::kSignFailed) + u"\r" + Text(signer_messages::kLoadFailed) +
                u"(documento omitido, 5006 caracteres)");
  EXPECT_EQ(TSignFailureJournal::WithoutDocument(Text(kUnknown)), Text(kUnknown));
}

// A journal that cannot be written loses the record; the caller goes on.
TEST(SignFailureJournal, AFailingJournalThrowsNothing) {
  TSignFailureJournal journal([](TLogLevel, const Text&) { throw std::runtime_error("disco"); });
  EXPECT_NO_THROW(journal.Failed(u"127.0.0.1", u"01", u"[x] y"));
}

}  // namespace
