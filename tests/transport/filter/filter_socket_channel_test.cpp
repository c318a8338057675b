#include "transport/filter/filter_socket_channel.h"

#include <gtest/gtest.h>

#include <functional>

#include "tests/support/error_of.h"
#include "tests/support/memory_channel.h"
#include "tests/transport/filter/fake_filters.h"
#include "transport/dbx_error.h"
#include "transport/filter/compression_filter.h"
#include "transport/filter/filter_format.h"
#include "transport/filter/filter_messages.h"

namespace {

using namespace filter_format;

const std::string kRequest(5, '\x05');
const std::string kNoFiltersAnswer("\x06\x00\x00\x00\x00", 5);
const std::string kServerList =
    R"({"ZLibCompression":{"FilterUnit":"DbxCompressionFilter","CompressMoreThan":"1024"}})";

std::string Header(std::uint8_t AKind, std::uint32_t ALength) {
  return {static_cast<char>(AKind), static_cast<char>(ALength >> 24),
          static_cast<char>(ALength >> 16), static_cast<char>(ALength >> 8),
          static_cast<char>(ALength)};
}

std::string Block(std::string_view ABody, std::uint8_t AKind = kDataBlock) {
  return Header(AKind, static_cast<std::uint32_t>(ABody.size())) + std::string(ABody);
}

std::string Plain(std::string_view AData) {
  std::string body(1, static_cast<char>(kPlainMarker));
  body.append(AData);
  return body;
}

std::string Compressed(std::string_view AData) {
  TTransportCompressionFilter filter;
  filter.SetParameterValue(u"CompressMoreThan", u"0");
  const TBytes body = filter.ProcessInput(
      std::span(reinterpret_cast<const std::uint8_t*>(AData.data()), AData.size()));
  return std::string(body.begin(), body.end());
}

std::string Decoded(std::string_view ABody) {
  TTransportCompressionFilter filter;
  const TBytes data = filter.ProcessOutput(
      std::span(reinterpret_cast<const std::uint8_t*>(ABody.data()), ABody.size()));
  return std::string(data.begin(), data.end());
}

std::string Json(std::size_t ACount) {
  std::string text = R"({"result":[")";
  for (int i = 0; text.size() < ACount - 3; ++i) text += "<Valor>" + std::to_string(i) + "</Valor>";
  text.resize(ACount - 3);
  text.append("\"]}");
  return text;
}

// A filtered channel over a scripted in-memory wire.
class FilterChannelTest : public ::testing::Test {
 protected:
  void Build(bool AWithFilters = true) {
    if (AWithFilters) {
      FConfigured.AddFilter(u"ZLibCompression");
      FConfigured.GetItem(0)->SetFilterPropertiesText(u"CompressMoreThan=1024");
    }
    FChannel = std::make_unique<TDBXFilterSocketChannel>(&FConfigured);
    auto wire = std::make_unique<TMemoryChannel>();
    FWire = wire.get();
    FChannel->SetChannel(std::move(wire));
  }

  void Push(std::string_view ABytes) { FWire->PushInput(ABytes); }
  void PushByteByByte(std::string_view ABytes) {
    for (char c : ABytes) FWire->PushInput(std::string(1, c));
  }

  // The channel's Read as text; "<-1>" for failure.
  std::string Read(int ACount = 32768, int AOffset = 0) {
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(AOffset + ACount));
    const int count = FChannel->Read(buffer, AOffset, ACount);
    if (count < 0) return "<-1>";
    return std::string(buffer.begin() + AOffset, buffer.begin() + AOffset + count);
  }

  int Write(std::string_view AData, int AOffset = 0) {
    return FChannel->Write(
        std::span(reinterpret_cast<const std::uint8_t*>(AData.data()), AData.size()), AOffset,
        static_cast<int>(AData.size()) - AOffset);
  }

  Text ReadError() {
    return ErrorOf([&] { Read(); }).Message;
  }

  // Runs the server side of a negotiation with AClientList; the first request comes back.
  std::string Negotiate(const std::string& AClientList = kServerList,
                        const std::string& ARequest = R"({"method":"connect"})") {
    Push(kRequest);
    Push(Block(AClientList));
    Push(Block(Plain(ARequest)));
    return Read();
  }

  std::int32_t Threshold() {
    return dynamic_cast<TTransportCompressionFilter&>(
               *FChannel->GetFilterList()->GetFilter(u"ZLibCompression"))
        .GetMinThreshold();
  }

  TTransportFilterCollection FConfigured;
  TMemoryChannel* FWire = nullptr;
  std::unique_ptr<TDBXFilterSocketChannel> FChannel;
};

}  // namespace

TEST_F(FilterChannelTest, AnswersNegotiationWithItsListInTwoWrites) {
  Build();
  EXPECT_EQ(FChannel->GetFlag(), 0);
  EXPECT_EQ(Negotiate(), R"({"method":"connect"})");
  EXPECT_EQ(FChannel->GetFlag(), 1);
  ASSERT_EQ(FWire->Writes().size(), 2u);
  EXPECT_EQ(FWire->Writes()[0], std::string("\x0D\x00\x00\x00\x53", 5));
  EXPECT_EQ(FWire->Writes()[1], kServerList);
  EXPECT_EQ(Threshold(), 1024);
}

TEST_F(FilterChannelTest, WritesEachCallAsOneBlockInTwoWrites) {
  Build();
  Negotiate();
  FWire->ClearWritten();
  EXPECT_EQ(Write(R"({"result":[]})"), 14);
  EXPECT_EQ(FWire->Writes(), (std::vector<std::string>{std::string("\x0D\x00\x00\x00\x0E", 5),
                                                       Plain(R"({"result":[]})")}));
  EXPECT_EQ(FWire->Written(), std::string("\x0D\x00\x00\x00\x0E\x02\x7B\x22\x72\x65\x73\x75\x6C"
                                          "\x74\x22\x3A\x5B\x5D\x7D",
                                          19));

  FWire->ClearWritten();
  const std::string reply = Json(2000);
  const int written = Write(reply);
  ASSERT_EQ(FWire->Writes().size(), 2u);
  const std::string body = FWire->Writes()[1];
  EXPECT_EQ(FWire->Writes()[0], Header(kDataBlock, static_cast<std::uint32_t>(body.size())));
  EXPECT_EQ(written, static_cast<int>(body.size()));
  EXPECT_EQ(body.substr(0, 3), "\x01\x78\x01");
  EXPECT_EQ(Decoded(body), reply);
}

TEST_F(FilterChannelTest, WritesNothingForEmptyBufferAndHonoursOffset) {
  Build();
  Negotiate();
  FWire->ClearWritten();
  EXPECT_EQ(Write(""), 0);
  EXPECT_TRUE(FWire->Writes().empty());
  EXPECT_EQ(Write("xx{}", 2), 3);
  EXPECT_EQ(FWire->Written(), Block(Plain("{}")));
}

TEST_F(FilterChannelTest, HandsOutLargeBlockAcrossReadsWithoutTouchingSocket) {
  Build();
  Negotiate();
  const std::string data = Json(40000);
  Push(Block(Compressed(data)) + Block(Plain("next")));
  const std::string first = Read(32768);
  EXPECT_EQ(first.size(), 32768u);
  const int readCalls = FWire->ReadCalls();
  const std::string second = Read(32768);
  EXPECT_EQ(second.size(), 7232u);
  EXPECT_EQ(FWire->ReadCalls(), readCalls);
  EXPECT_EQ(first + second, data);
  EXPECT_EQ(Read(32768), "next");
}

TEST_F(FilterChannelTest, NeverMixesTwoBlocksInOneRead) {
  Build();
  Negotiate();
  Push(Block(Plain("abc")) + Block(Compressed("defg")) + Block(Plain("hij")));
  EXPECT_EQ(Read(100), "abc");
  EXPECT_EQ(Read(2), "de");
  EXPECT_EQ(Read(100), "fg");
  EXPECT_EQ(Read(100, 7), "hij");
}

TEST_F(FilterChannelTest, ReadsWhateverArrivesOneByteAtATime) {
  Build();
  const std::string data = Json(5000);
  PushByteByByte(kRequest + Block(kServerList) + Block(Compressed(data)));
  std::string received;
  while (received.size() < data.size()) {
    const std::string piece = Read(1000);
    ASSERT_NE(piece, "<-1>");
    received += piece;
  }
  EXPECT_EQ(received, data);
}

TEST_F(FilterChannelTest, EndsConnectionOnBadHeaderWithoutReadingBody) {
  struct Case {
    const char* name;
    std::string header;
  };
  const Case kCases[] = {
      {"kind 00", Header(0x00, 3)},
      {"kind 05", kRequest},
      {"kind 06", kNoFiltersAnswer},
      {"kind 0C", Header(0x0C, 3)},
      {"kind 0E", Header(0x0E, 3)},
      {"negative length", Header(kDataBlock, 0x80000000u)},
      {"length -1", Header(kDataBlock, 0xFFFFFFFFu)},
      {"huge length", Header(kDataBlock, 0x7FFFFFF0u)},
      {"one past limit", Header(kDataBlock, kMaxBlockLength + 1u)},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Build();
    Negotiate();
    Push(c.header);
    Push("\x02xyz");
    const int readCalls = FWire->ReadCalls();
    EXPECT_EQ(Read(), "<-1>");
    EXPECT_EQ(FWire->ReadCalls(), readCalls + 1);
    FConfigured.RemoveFilter(0);
  }
}

TEST_F(FilterChannelTest, ReadsBodyOfBlockAtLimitAsItArrives) {
  Build();
  Negotiate();
  Push(Header(kDataBlock, kMaxBlockLength));
  Push(Plain("abc"));
  // The header is accepted; the body is read until the peer goes away.
  EXPECT_EQ(ReadError(), u"Connection lost");
}

TEST_F(FilterChannelTest, EndsConnectionOnBodyWithoutMarker) {
  Build();
  Negotiate();
  Push(Header(kDataBlock, 0));
  EXPECT_EQ(ReadError(), filter_messages::kEmptyBody);
}

TEST_F(FilterChannelTest, EndsConnectionOnUndecodableBody) {
  Build();
  Negotiate();
  Push(Block("\x01\x78\x01\xFF\xFF"));
  EXPECT_EQ(ReadError(), u"data error");
}

TEST_F(FilterChannelTest, FilteredServerGivesNoAnswerToPlainClient) {
  Build();
  Push(R"({"method":"connect","params":[]})");
  EXPECT_EQ(Read(), "<-1>");
  EXPECT_TRUE(FWire->Written().empty());
}

TEST_F(FilterChannelTest, ServerWithoutFiltersAnswersNoFiltersAndTalksPlain) {
  Build(false);
  Push(kRequest);
  Push(R"({"method":"connect"})");
  EXPECT_EQ(Read(), R"({"method":"connect"})");
  EXPECT_EQ(FChannel->GetFlag(), -1);
  EXPECT_EQ(FWire->Written(), kNoFiltersAnswer);
  FWire->ClearWritten();
  EXPECT_EQ(Write(R"({"result":[]})"), 13);
  EXPECT_EQ(FWire->Written(), R"({"result":[]})");
}

TEST_F(FilterChannelTest, ServerWithoutFiltersTakesPlainBytesFromTheFirst) {
  const std::string request = R"({"method":"connect"})";
  for (int count : {1, 3, 5, 6, 100}) {
    SCOPED_TRACE(count);
    Build(false);
    Push(request);
    std::string received;
    while (received.size() < request.size()) received += Read(count);
    EXPECT_EQ(received, request);
    EXPECT_EQ(FChannel->GetFlag(), -1);
    EXPECT_TRUE(FWire->Written().empty());
  }
}

TEST_F(FilterChannelTest, KeepsOwnFiltersWhenClientListIsEmpty) {
  Build();
  EXPECT_EQ(Negotiate("{}"), R"({"method":"connect"})");
  EXPECT_EQ(FChannel->GetFilterList()->GetFilterIdList(), std::vector<Text>{u"ZLibCompression"});
  FWire->ClearWritten();
  Write(Json(1025));
  EXPECT_EQ(FWire->Writes()[1].substr(0, 3), "\x01\x78\x01");
}

TEST_F(FilterChannelTest, TakesClientThresholdForThisConnection) {
  struct Case {
    std::string list;
    std::int32_t threshold;
  };
  const Case kCases[] = {
      {R"({"ZLibCompression":{"FilterUnit":"DbxCompressionFilter","CompressMoreThan":"100"}})",
       100},
      {R"({"ZLibCompression":{"CompressMoreThan":"0"}})", 0},
      {R"({"ZLibCompression":{"FilterUnit":"dbxcompressionfilter","CompressMoreThan":50}})", 50},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.list);
    Build();
    EXPECT_EQ(Negotiate(c.list), R"({"method":"connect"})");
    EXPECT_EQ(Threshold(), c.threshold);
    FWire->ClearWritten();
    Write(Json(static_cast<std::size_t>(c.threshold) + 3));
    EXPECT_EQ(FWire->Writes()[1][0], '\x01');
    EXPECT_EQ(
        dynamic_cast<TTransportCompressionFilter&>(*FConfigured.GetFilter(0)).GetMinThreshold(),
        1024);
    FConfigured.RemoveFilter(0);
  }
}

TEST_F(FilterChannelTest, EndsConnectionOnListItCannotApply) {
  struct Case {
    const char* name;
    std::string list;
    Text error;  // empty: Read answers -1
  };
  const Case kCases[] = {
      {"empty threshold", R"({"ZLibCompression":{"CompressMoreThan":""}})",
       u"'' is not a valid integer value"},
      {"null threshold", R"({"ZLibCompression":{"CompressMoreThan":null}})",
       u"'' is not a valid integer value"},
      {"wrong unit",
       R"({"ZLibCompression":{"FilterUnit":"DbxZipFilter","CompressMoreThan":"1024"}})",
       u"Filter ZLibCompression rejected setup parameter FilterUnit given value DbxZipFilter. At "
       u"this "
       u"point the server communication is not possible due to this incompatibility."},
      {"PC1", R"({"PC1":{"Key":"secret"},"ZLibCompression":{}})",
       u"Communication filter PC1 is not registered. Filter class needs to be registered in order "
       u"to "
       u"communicate with the server."},
      {"RSA", R"({"RSA":{}})",
       u"Communication filter RSA is not registered. Filter class needs to be registered in order "
       u"to "
       u"communicate with the server."},
      {"not json", "{\"ZLibCompression\":", u""},
      {"not an object", R"(["ZLibCompression"])", u""},
      {"member not an object", R"({"ZLibCompression":"1024"})", u""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Build();
    if (c.error.empty()) {
      EXPECT_EQ(Negotiate(c.list), "<-1>");
    } else {
      Push(kRequest);
      Push(Block(c.list));
      EXPECT_EQ(ReadError(), c.error);
    }
    // Only the server's list went out: no reply to a failed negotiation.
    EXPECT_EQ(FWire->Written(), Block(kServerList));
    FConfigured.RemoveFilter(0);
  }
}

TEST_F(FilterChannelTest, ClientListOfOtherKindEndsConnection) {
  Build();
  Push(kRequest);
  Push(Block(kServerList, 0x0C));
  EXPECT_EQ(Read(), "<-1>");
}

TEST_F(FilterChannelTest, ClientSideNegotiatesThenWritesBlock) {
  Build(false);  // a client without filters takes the server's
  Push(Block(kServerList));
  EXPECT_EQ(Write(R"({"method":"connect"})"), 21);
  EXPECT_EQ(FChannel->GetFlag(), 1);
  EXPECT_EQ(FWire->Writes(),
            (std::vector<std::string>{kRequest, Header(kDataBlock, 83), kServerList,
                                      Header(kDataBlock, 21), Plain(R"({"method":"connect"})")}));
  Push(Block(Plain(R"({"result":[]})")));
  EXPECT_EQ(Read(), R"({"result":[]})");
}

TEST_F(FilterChannelTest, ClientSideTalksPlainToServerWithoutFilters) {
  Build();
  Push(kNoFiltersAnswer);
  EXPECT_EQ(Write(R"({"method":"connect"})"), 20);
  EXPECT_EQ(FChannel->GetFlag(), -1);
  EXPECT_EQ(FWire->Written(), kRequest + R"({"method":"connect"})");
  Push(R"({"result":[]})");
  EXPECT_EQ(Read(), R"({"result":[]})");
}

// A public-key filter is exchanged first, in a block of kind 07; the ordinary lists then travel
// through it.
TEST_F(FilterChannelTest, ServerRunsPublicKeyPhaseFirst) {
  fake_filters::TScopedRegistration key(&fake_filters::CreateKey);
  FConfigured.AddFilter(u"TestKey");
  Build();
  auto flip = [](std::string s) {
    for (char& c : s) c = static_cast<char>(c ^ 0x33);
    return s;
  };
  const std::string keyList = R"({"TestKey":{"Key":null}})";
  Push(kRequest);
  Push(Block(keyList, kPublicKeyBlock));
  Push(Block(flip(kServerList)));
  Push(Block(Plain("{}")));
  EXPECT_EQ(Read(), "{}");
  EXPECT_EQ(FWire->Writes(), (std::vector<std::string>{Header(kPublicKeyBlock, 24), keyList,
                                                       Header(kDataBlock, 83), flip(kServerList)}));
}

TEST_F(FilterChannelTest, ClientWithPublicKeyFilterNeedsServerWithOne) {
  fake_filters::TScopedRegistration key(&fake_filters::CreateKey);
  FConfigured.AddFilter(u"TestKey");
  Build(false);
  Push(Block(kServerList));
  try {
    Write("{}");
    FAIL() << "no error";
  } catch (const TDBXError& e) {
    EXPECT_EQ(e.Message(), u"The Server has no matching TestKey filter.");
  }
}
