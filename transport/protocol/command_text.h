#pragma once

// How a command's type and text become a server-method command: the CALL form, stored
// procedures that name a server method, and the metadata commands that the built-in
// DSMetadata class answers when no database is bound. Pure functions over texts.

#include <functional>
#include <optional>

#include "platform/text.h"
#include "transport/server/method_name_scanner.h"

namespace command_text {

// Text after "CALL" and one blank, tab or line break, when ACommand (after leading blanks,
// tabs and line breaks) starts with CALL in any case and more than five characters remain from
// there; nothing otherwise.
std::optional<Text> CallRemainder(TextView ACommand);

// The first word of ACommand: leading blanks, tabs, line breaks and double quotes are skipped;
// the word ends at a blank, tab, line break, double quote or opening parenthesis.
Text ProcedureName(TextView ACommand);

// Identifiers joined by "." read from the start of AText (quoted ones without their quotes);
// the token that ends the name is consumed. Empty when no identifier comes.
Text ReadDottedName(TDSIdentifierScanner& AScanner);

// The server-method command text for a metadata command ("GetDatabase", "GetProcedures ...",
// "GetProcedureParameters ..."), or nothing for any other text.
std::optional<Text> MetaDataCommand(TextView ACommand);

// The command type and text after the CALL, stored-procedure and metadata rules. The type is
// "DataSnap.ServerMethod" (any case) when the command is a server method. AIsServerMethod tells
// whether a procedure name is a registered method alias. Raises TDBXError 30 for a type that
// is none of these.
struct TCommand {
  Text CommandType;
  Text Command;
};
TCommand ResolveCommand(TCommand ACommand,
                        const std::function<bool(TextView AName)>& AIsServerMethod);

}  // namespace command_text
