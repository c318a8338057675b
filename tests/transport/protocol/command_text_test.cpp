#include "transport/protocol/command_text.h"

#include <gtest/gtest.h>

#include "tests/support/error_of.h"
#include "transport/dbx_error.h"

namespace {

using namespace command_text;

TEST(CommandText, CallNeedsTheWordASeparatorAndMoreThanFiveCharacters) {
  const struct {
    const char16_t* text;
    std::optional<Text> rest;
  } kCases[] = {
      {u"CALL x", Text(u"x")},
      {u" \t\r\ncall\tA.B(1)", Text(u"A.B(1)")},
      {u"Call\nTSM.M", Text(u"TSM.M")},
      {u"CALL  x", Text(u" x")},
      {u"CALL ", std::nullopt},
      {u"CALLx y", std::nullopt},
      {u"CAL x", std::nullopt},
      {u"xCALL y", std::nullopt},
      {u"", std::nullopt},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(text::ToUtf8(c.text));
    EXPECT_EQ(CallRemainder(c.text), c.rest);
  }
}

TEST(CommandText, ProcedureNameIsTheFirstWord) {
  EXPECT_EQ(ProcedureName(u"  \"TSM.Sign\"(a)"), u"TSM.Sign");
  EXPECT_EQ(ProcedureName(u"TSM.Sign(a)"), u"TSM.Sign");
  EXPECT_EQ(ProcedureName(u"\n\tA.B c"), u"A.B");
  EXPECT_EQ(ProcedureName(u""), u"");
}

TEST(CommandText, MetaDataCommandsAreRewritten) {
  const struct {
    const char16_t* text;
    std::optional<Text> command;
  } kCases[] = {
      {u"GetDatabase", Text(u"DSMetadata.GetDatabase")},
      {u"getdatabase", Text(u"DSMetadata.GetDatabase")},
      {u"GetDatabase x", std::nullopt},
      {u"GetProcedures", Text(u"DSMetadata.GetProcedures(\"\", \"\")")},
      // The token that ends a name is consumed: "e" ends the first, nothing is left for the second.
      {u"GetProcedures a.\"b c\".d e", Text(u"DSMetadata.GetProcedures(\"a.b c.d\", \"\")")},
      {u"GetProcedures a, b.c", Text(u"DSMetadata.GetProcedures(\"a\", \"b.c\")")},
      {u"getprocedures \"q\"\"uote\" (", Text(u"DSMetadata.GetProcedures(\"q\"\"uote\", \"\")")},
      {u"GetProcedureParameters x.y", Text(u"DSMetadata.GetProcedureParameters(\"x.y\")")},
      {u"GetTables", std::nullopt},
      {u"", std::nullopt},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(text::ToUtf8(c.text));
    EXPECT_EQ(MetaDataCommand(c.text), c.command);
  }
}

TEST(CommandText, ResolveGivesServerMethodsOrCode30) {
  const auto known = [](TextView AName) { return AName == u"A.B"; };
  const auto resolved = ResolveCommand({u"Dbx.StoredProcedure", u"call A.B"}, known);
  EXPECT_EQ(resolved.CommandType, u"DataSnap.ServerMethod");
  EXPECT_EQ(resolved.Command, u"A.B");
  EXPECT_EQ(ResolveCommand({u"DATASNAP.SERVERMETHOD", u"CALL A.C"}, known).Command, u"A.C");
  EXPECT_EQ(ResolveCommand({u"Dbx.MetaData", u"GetDatabase"}, known).Command,
            u"DSMetadata.GetDatabase");
  try {
    ResolveCommand({u"Dbx.SQL", u"A.B"}, known);
    ADD_FAILURE() << "no error";
  } catch (const TDBXError& e) {
    EXPECT_EQ(e.ErrorCode(), 30);
    EXPECT_EQ(e.Message(), u"Dbx.SQL is an unrecognized command type");
  }
}

}  // namespace
