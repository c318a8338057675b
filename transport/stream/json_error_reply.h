#pragma once

// The error reply of the command protocol as the client role reads it:
// {"error":{"name":"<class>","code":<n>,"message":"<text>"} -- one closing brace only, the outer
// object stays open and nothing follows it but the next reply. A member "error":{} (name/value
// pairs) and members of other names are passed over.
//
// TDBXRemoteError is what a client raises for it: the server's code and message (its text as
// sent, "Remote error: " included) and the server's exception class name. The connection that
// carried the reply is still in step: the next request may follow.

#include "platform/text.h"
#include "transport/dbx_error.h"
#include "transport/stream/json_stream_reader.h"

class TDBXRemoteError : public TDBXError {
 public:
  TDBXRemoteError(Text AName, int AErrorCode, Text AMessage)
      : TDBXError(AErrorCode, std::move(AMessage)), FName(std::move(AName)) {}

  // Class name of the exception on the server ("Exception", "TDBXError", ...).
  const Text& Name() const noexcept { return FName; }

 private:
  Text FName;
};

// Reads the error object that follows the key "error" and its colon, up to and including its
// closing brace, and returns it as the exception to raise. Malformed input raises the reader's
// TDBXError (code 2).
TDBXRemoteError ReadErrorReply(TDBXJSonStreamReader& AReader);
