#pragma once

// Codes and texts of the command level, byte for byte as deployed clients see them in error
// replies; tests compare them. "%s" marks are filled in order (server_method_messages::Fill).

#include <string_view>

#include "transport/protocol_names.h"

namespace protocol_messages {

// Command lookup.
inline constexpr int kCommandClosedCode = 4;
inline constexpr std::string_view kCommandClosed = "Command closed or executed again";
inline constexpr int kInvalidCommandHandleCode = 29;
inline constexpr std::string_view kInvalidCommandHandle = "Invalid command handle:  %s";

// Command types; also the code of a failure outside a request while requests are handled.
inline constexpr int kInvalidOperationCode = 30;
inline constexpr std::string_view kUnrecognizedCommandType = "%s is an unrecognized command type";

inline constexpr int kNotAuthorizedCode = 113;
inline constexpr std::string_view kNotAuthorized =
    "%s is not authorized to perform the requested action.";
// The refused connect, and the connect properties that carry the credentials, are the client's
// to know as well: protocol_names.h.
using protocol_names::kAuthenticationPasswordProperty;
using protocol_names::kAuthenticationRejected;
using protocol_names::kAuthenticationRejectedCode;
using protocol_names::kAuthenticationUserProperty;

// The error reply.
inline constexpr std::string_view kRemoteError = "Remote error: ";
inline constexpr std::u16string_view kCausedBy = u"Caused by: ";
inline constexpr std::u16string_view kDbxError = u"DBX Error:  ";
inline constexpr std::u16string_view kNoErrorClass = u"error(null)";
inline constexpr int kDefaultErrorCode = 5;
inline constexpr int kMaxCausedByLevels = 10;

// Names, properties and results of the connection without a database.
inline constexpr std::u16string_view kStoredProcedureCommandType = u"Dbx.StoredProcedure";
inline constexpr std::u16string_view kMetaDataCommandType = u"Dbx.MetaData";
inline constexpr std::u16string_view kDefaultProductName = u"DataSnap";
inline constexpr std::u16string_view kTcpProtocol = u"tcp/ip";

// Our own, for requests the deployed protocol leaves undefined or that a client could use to
// make the server crash or allocate without bound. Code 30 like the other refusals of an
// operation the connection's state does not allow.
inline constexpr int kRefusedCode = 30;
inline constexpr std::string_view kNotConnected = "%s is not allowed before a successful connect";
inline constexpr std::string_view kNoSuchRow = "No row with handle %s in command %s";
inline constexpr std::string_view kNoContinuation =
    "No more data for ordinal %s of row %s in command %s";
inline constexpr std::string_view kInvalidRowNumber = "Invalid row number:  %s";
inline constexpr std::string_view kInvalidParameterCount = "Invalid parameter count:  %s";
inline constexpr std::string_view kTooManyCommands =
    "Too many open commands on this connection (at most %s)";
inline constexpr std::string_view kTooManyProperties =
    "Too many connection properties (at most %s)";
inline constexpr std::string_view kUnexpectedExecuteItem = "Unexpected execute item:  %s";
inline constexpr std::string_view kTablesNotAccepted =
    "Table parameters are not accepted by this server";
inline constexpr int kSyntaxErrorCode = 2;

// Bounds on what one connection may make the server hold.
inline constexpr int kMaxOpenCommands = 4096;
inline constexpr int kMaxConnectProperties = 1024;
inline constexpr int kMaxParameterDescriptors = 4096;

}  // namespace protocol_messages
