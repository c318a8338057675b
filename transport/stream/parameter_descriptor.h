#pragma once

// A parameter's descriptor as prepare requests and replies carry it:
//   [dataType,subType,direction,precision,scale,"name",childPosition,size,flags(,"literal")]
// The literal follows the flags only when they have vtfLiteral. The one reading and writing of
// it, for the server's handlers and the client alike.

#include "platform/text.h"
#include "transport/stream/dbx_value.h"
#include "transport/stream/json_stream_reader.h"
#include "transport/stream/json_stream_writer.h"

void WriteParameterDescriptor(TDBXJSonStreamWriter& AWriter, const TDBXParameter& AParameter);

// Reads a descriptor whose '[' the reader has just passed, through its ']'. The flags (and with
// them the literal) may be left out; members after them are passed over, so that a later peer
// may add some. Anything else raises TDBXError kJSonSyntaxErrorCode.
void ReadParameterDescriptor(TDBXJSonStreamReader& AReader, TDBXParameter& AParameter);

// A string member. The token must be the string: skipping to the next quote, whatever stands
// before it, could run past the message into the peer's next one.
Text ReadStringMember(TDBXJSonStreamReader& AReader);
