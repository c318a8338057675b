#include "transport/stream/parameter_descriptor.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/error_of.h"
#include "tests/support/memory_channel.h"

namespace {

// Reads AJson (a descriptor and, after it, a marker the reader must stand before).
TDBXParameter Read(const std::string& AJson) {
  TMemoryChannel channel;
  channel.PushInput(AJson + ",7]");
  TDBXJSonStreamReader reader(channel);
  reader.Next(jtArrayStart);
  TDBXParameter parameter;
  ReadParameterDescriptor(reader, parameter);
  reader.NextValueSeparator();
  EXPECT_EQ(reader.ReadInt(), 7) << "the reader stands right after the descriptor";
  return parameter;
}

std::string Written(const TDBXParameter& AParameter) {
  TMemoryChannel channel;
  TDBXJSonStreamWriter writer(channel);
  WriteParameterDescriptor(writer, AParameter);
  writer.Flush();
  return channel.Written();
}

TEST(ParameterDescriptor, WrittenAsTheWireHasItAndReadBack) {
  TDBXParameter text;
  text.DataType = dtWideString;
  text.Direction = pdReturn;
  text.Precision = 32000;
  text.Name = u"ReturnParameter";
  text.Size = 32000;
  EXPECT_EQ(Written(text), "[26,0,4,32000,0,\"ReturnParameter\",0,32000,0]");
  TDBXParameter literal = text;
  literal.Flags = vtfLiteral;
  literal.Value = Text(u"ção");
  const std::string bytes = Written(literal);
  const TDBXParameter back = Read(bytes);
  EXPECT_EQ(back.DataType, dtWideString);
  EXPECT_EQ(back.Direction, pdReturn);
  EXPECT_EQ(back.Precision, 32000);
  EXPECT_EQ(back.Name, u"ReturnParameter");
  EXPECT_EQ(back.Flags, vtfLiteral);
  EXPECT_EQ(std::get<Text>(back.Value), u"ção");
}

// One tolerance for every side: flags may be left out, later members are passed over, and
// anything else is refused with the stream's syntax error.
TEST(ParameterDescriptor, OneToleranceForEverySide) {
  EXPECT_EQ(Read("[1,0,1,0,0,\"A\",0,0]").Flags, 0) << "without flags";
  EXPECT_EQ(Read("[1,0,1,0,0,\"A\",0,0,3,\"later\",[1,2],{\"x\":1}]").Flags, 3);
  EXPECT_EQ(std::get<Text>(Read("[1,0,1,0,0,\"A\",0,0,512,\"v\",9]").Value), u"v");

  const struct {
    const char* json;
    const char* error;
  } kRefused[] = {
      {"[1,0,1,0,0,A,0,0]", "Expected:  '\"' found:  '"},
      {"[1,0,1,0,0,\"A\",0,0 1]", "Expected:  ']' found:  '"},
      {"[1,0,1,0,0,\"A\",0,0,512]", ""},  // the literal its flags announce is missing
  };
  for (const auto& [json, error] : kRefused) {
    const TRaisedError raised = ErrorOf([&] { Read(json); });
    EXPECT_EQ(raised.Code, kJSonSyntaxErrorCode) << json << ": " << raised.Utf8();
    EXPECT_EQ(raised.Utf8().rfind(error, 0), 0u) << json << ": " << raised.Utf8();
  }
}

}  // namespace
