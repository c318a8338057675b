#include "transport/protocol/command_text.h"

#include "transport/dbx_error.h"
#include "transport/protocol/protocol_messages.h"
#include "transport/protocol_names.h"
#include "transport/server/server_method_messages.h"

namespace command_text {

namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r'; }

char16_t UpperAscii(char16_t c) { return c >= u'a' && c <= u'z' ? c - (u'a' - u'A') : c; }

// A text for a literal argument in double quotes: a quote inside is doubled, as the method
// name scanner reads it back.
Text Quoted(TextView AText) {
  Text out = u"\"";
  for (char16_t c : AText) {
    if (c == u'"') out += u'"';
    out += c;
  }
  return out + u"\"";
}

}  // namespace

std::optional<Text> CallRemainder(TextView ACommand) {
  std::size_t i = 0;
  while (i < ACommand.size() && IsBlank(ACommand[i])) ++i;
  constexpr TextView kCall = u"CALL";
  if (ACommand.size() - i <= 5) return std::nullopt;
  for (std::size_t k = 0; k < kCall.size(); ++k)
    if (UpperAscii(ACommand[i + k]) != kCall[k]) return std::nullopt;
  if (!IsBlank(ACommand[i + kCall.size()])) return std::nullopt;
  return Text(ACommand.substr(i + kCall.size() + 1));
}

Text ProcedureName(TextView ACommand) {
  std::size_t i = 0;
  while (i < ACommand.size() && (IsBlank(ACommand[i]) || ACommand[i] == u'"')) ++i;
  std::size_t end = i;
  while (end < ACommand.size() && !IsBlank(ACommand[end]) && ACommand[end] != u'"' &&
         ACommand[end] != u'(')
    ++end;
  return Text(ACommand.substr(i, end - i));
}

Text ReadDottedName(TDSIdentifierScanner& AScanner) {
  TDSToken token = AScanner.Next();
  if (!token.IsName()) return {};
  Text name = token.Value;
  for (;;) {
    token = AScanner.Next();
    if (!token.IsSymbol(u'.')) return name;
    token = AScanner.Next();
    if (!token.IsName()) return name;
    name += u'.';
    name += token.Value;
  }
}

std::optional<Text> MetaDataCommand(TextView ACommand) {
  if (text::SameTextAscii(ACommand, u"GetDatabase")) return Text(u"DSMetadata.GetDatabase");
  TDSIdentifierScanner scanner(ACommand);
  const TDSToken first = scanner.Next();
  if (first.Kind != TDSTokenKind::Identifier) return std::nullopt;
  if (text::SameTextAscii(first.Value, u"GetProcedures")) {
    const Text name = ReadDottedName(scanner);
    const Text type = ReadDottedName(scanner);
    return u"DSMetadata.GetProcedures(" + Quoted(name) + u", " + Quoted(type) + u")";
  }
  if (text::SameTextAscii(first.Value, u"GetProcedureParameters")) {
    const Text name = ReadDottedName(scanner);
    return u"DSMetadata.GetProcedureParameters(" + Quoted(name) + u")";
  }
  return std::nullopt;
}

TCommand ResolveCommand(TCommand ACommand,
                        const std::function<bool(TextView AName)>& AIsServerMethod) {
  using namespace protocol_messages;
  // A rewrite gives a server-method command, which the second round accepts.
  for (int round = 0;; ++round) {
    if (const std::optional<Text> rest = CallRemainder(ACommand.Command)) {
      if (text::SameTextAscii(ACommand.CommandType, protocol_names::kServerMethodCommandType)) {
        ACommand.Command = *rest;
      } else if (AIsServerMethod(ProcedureName(*rest))) {
        ACommand.CommandType = protocol_names::kServerMethodCommandType;
        ACommand.Command = *rest;
      }
    } else if (text::SameTextAscii(ACommand.CommandType, kStoredProcedureCommandType) &&
               AIsServerMethod(ProcedureName(ACommand.Command))) {
      ACommand.CommandType = protocol_names::kServerMethodCommandType;
    }
    if (text::SameTextAscii(ACommand.CommandType, protocol_names::kServerMethodCommandType))
      return ACommand;
    std::optional<Text> rewritten;
    if (round == 0 && ACommand.CommandType == kMetaDataCommandType)
      rewritten = MetaDataCommand(ACommand.Command);
    if (!rewritten) {
      throw TDBXError(kInvalidOperationCode, server_method_messages::Fill(kUnrecognizedCommandType,
                                                                          {ACommand.CommandType}));
    }
    ACommand.CommandType = protocol_names::kServerMethodCommandType;
    ACommand.Command = std::move(*rewritten);
  }
}

}  // namespace command_text
