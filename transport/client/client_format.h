#pragma once

// Constants and texts of the client library: default timeouts, bounds on what a server may
// announce, error codes and messages. The request and reply shapes are the server's (see
// dbx_client.h); the texts here are the client's own.

#include <cstdint>
#include <string_view>

namespace client_format {

// A server that neither accepts nor answers stops the client after these waits; a signing
// request of a large batch is answered well within the read wait.
inline constexpr int kDefaultConnectTimeoutMs = 10000;
inline constexpr int kDefaultReadTimeoutMs = 60000;

// Most parameter descriptors a prepare reply may carry; real methods have a handful.
inline constexpr int kMaxParameters = 1024;
// Most numbers in a more_blob request of the server (it sends five).
inline constexpr int kMaxMoreBlobArguments = 8;
// A continuation answer leaves the writer in one flush: the data plus
// {"data":[<count>,...]} needs at most this much room besides the bytes.
inline constexpr int kDataAnswerOverhead = 32;
// Invocation metadata ahead of a reply is passed over in pieces of this size.
inline constexpr int kSkipPieceSize = 64 * 1024;

// Codes of the client's own errors (the server's error replies keep the server's code and come
// as TDBXRemoteError): the connection failed or broke; the server's bytes made no sense; the
// caller's request was refused before anything was sent.
inline constexpr int kConnectionErrorCode = 1;
inline constexpr int kProtocolErrorCode = 2;
inline constexpr int kUsageErrorCode = 0;

inline constexpr std::string_view kCannotResolve = "Cannot resolve the server name ";
inline constexpr std::string_view kCannotConnect = "Cannot connect to ";
inline constexpr std::string_view kConnectTimedOut = "Timed out connecting to ";
inline constexpr std::string_view kReadTimedOut = "No answer from the server within ";
inline constexpr std::string_view kWriteTimedOut = "The server took nothing within ";
inline constexpr std::string_view kServerClosed = "Connection lost: the server closed it";
inline constexpr std::string_view kSocketFailed = "Connection lost: ";
inline constexpr std::string_view kNegotiationFailed = "Filter negotiation with the server failed";
inline constexpr std::string_view kNotOpen = "The client has no open connection";
inline constexpr std::string_view kUnexpectedReply = "Unexpected reply from the server: ";
inline constexpr std::string_view kTooManyParameters =
    "The server described more parameters than a method may have: ";
inline constexpr std::string_view kParameterCountMismatch =
    "The server's parameter count does not match its descriptors: ";
inline constexpr std::string_view kTableResultUnsupported =
    "Table results are not supported by this client";
inline constexpr std::string_view kNoContinuation =
    "The server asked for the rest of a value that has none: parameter ";
inline constexpr std::string_view kArgumentCount = "Wrong number of arguments for ";
inline constexpr std::string_view kNotTextParameter = "Parameter is not a text: ";
inline constexpr std::string_view kNoTextResult = "The method returns no text: ";

}  // namespace client_format
