#pragma once

// Wire layout of the JSON message stream, shared by reader, writer and tests.
// Layout: 8-bit text, one JSON object per message, no length prefix; a data block is
// {"data":[N,<N raw bytes>]} with no blank between the comma and the bytes.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/text.h"

// Token kinds the reader's Next classifies.
enum TDBXJSonTokenKind : int {
  jtObjectStart = 2,
  jtObjectEnd = 3,
  jtArrayStart = 4,
  jtArrayEnd = 5,
  jtTrue = 6,
  jtFalse = 7,
  jtNull = 8,
  jtNumber = 9,
  jtStringStart = 10,
  jtString = 11,
  jtNameSeparator = 12,
  jtValueSeparator = 13,
};

// Codes of the method names and object keys the reader classifies (exact, case-sensitive).
enum TDBXJSonStringCode : int {
  scUnknown = 1,
  scResult = 2,
  scError = 3,
  scConnect = 4,
  scDisconnect = 5,
  scPrepare = 7,
  scExecute = 8,
  scCommandClose = 9,
  scReaderClose = 10,
  scRows = 11,
  scTable = 12,
  scColumns = 13,
  scSession = 14,
  scData = 15,
  scNext = 16,
  scHandle = 17,
  scFields = 18,
  scParameters = 19,
  scTxBegin = 20,
  scTxEnd = 21,
  scMoreBlob = 22,
  scNextResult = 23,
  scVendorProperty = 24,
  scCallback = 25,
  scMetadata = 26,
};

// Code of the classified text; scUnknown when it is not in the vocabulary.
int DBXJSonStringCode(TextView AText);

// The protocol version the connect reply announces (every writer sets it to 2).
inline constexpr int kDBXProtocolVersion = 2;

// Buffer sizes: 0 stands for the default; the transport passes BufferKBSize x 1024.
inline constexpr int kJSonDefaultBufferSize = 8192;
inline constexpr int kJSonTransportBufferSize = 32768;
// Upper bound on a buffer size: keeps a padded data-block count within its 9 bytes.
inline constexpr int kJSonMaxBufferSize = 64 * 1024 * 1024;

// Bounds on what a peer may announce, so a few bytes cannot make us allocate without limit.
inline constexpr std::size_t kJSonMaxStringLength = 16 * 1024 * 1024;  // UTF-16 code units
inline constexpr int kJSonMaxDataBytes = 64 * 1024 * 1024;             // one data block

// A data block filled in place: with P the index of its '[', the count stands padded with
// blanks at P+1..P+9, the comma at P+10 and the data from P+11; the data may take at most
// buffer size - P - 13 bytes so that "]}" still fits.
inline constexpr int kJSonPaddedCountWidth = 9;
inline constexpr int kJSonDataObjectReserve = 13;

// Constant byte texts, written as they stand.
namespace json_bytes {
inline constexpr std::string_view HexDigits = "0123456789ABCDEF";
inline constexpr std::string_view MethodStart = "{\"method\":";
inline constexpr std::string_view ParamsStart = "\"params\":[";
inline constexpr std::string_view ParametersObjectStart = "{\"parameters\":[";
inline constexpr std::string_view ResultObjectStart = "{\"result\":[";
inline constexpr std::string_view ErrorObjectStart = "{\"error\":{\"name\":";
inline constexpr std::string_view CodeKey = "\"code\":";
inline constexpr std::string_view MessageKey = "\"message\":";
inline constexpr std::string_view Null = "null";
inline constexpr std::string_view True = "true";
inline constexpr std::string_view False = "false";
inline constexpr std::string_view ColumnsObjectStart = "{\"columns\":[";
inline constexpr std::string_view TableObjectStart = "{\"table\":[";
inline constexpr std::string_view SessionObjectStart = "{\"session\":[";
inline constexpr std::string_view RowsObjectStart = "{\"rows\":[";
inline constexpr std::string_view DataObjectStart = "{\"data\":[";
inline constexpr std::string_view HandleObjectStart = "{\"handle\":[";
inline constexpr std::string_view FieldsObjectStart = "{\"fields\":[";
inline constexpr std::string_view NextKey = "\"next\":[";
inline constexpr std::string_view MoreBlobKey = "\"more_blob\":[";
inline constexpr std::string_view CallbackKey = "\"callback\":[";
inline constexpr std::string_view MetadataKey = "\"metadata\":[";
// Request method names of the client role.
inline constexpr std::string_view ConnectMethod = "\"connect\",";
inline constexpr std::string_view DisconnectMethod = "\"disconnect\",";
inline constexpr std::string_view PrepareMethod = "\"prepare\",";
inline constexpr std::string_view ExecuteMethod = "\"execute\",";
inline constexpr std::string_view CommandCloseMethod = "\"command_close\",";
inline constexpr std::string_view ReaderCloseMethod = "\"reader_close\",";
inline constexpr std::string_view NextMethod = "\"next\",";
inline constexpr std::string_view TxBeginMethod = "\"txbegin\",";
inline constexpr std::string_view TxEndMethod = "\"txend\",";
inline constexpr std::string_view MoreBlobMethod = "\"more_blob\",";
inline constexpr std::string_view NextResultMethod = "\"next_result\",";
inline constexpr std::string_view VendorPropertyMethod = "\"vendor_property\",";
}  // namespace json_bytes

// Error codes and texts of the stream. Deployed clients show these texts; the blanks after the
// colons and the missing apostrophe of the third form are part of them.
inline constexpr int kJSonReadErrorCode = 1;
inline constexpr int kJSonSyntaxErrorCode = 2;
inline constexpr int kJSonWriteErrorCode = 1;
inline constexpr std::string_view kJSonReadError = "Read error";
inline constexpr std::string_view kJSonWriteError = "Write error";
inline constexpr std::string_view kJSonUnexpectedByte = "Unexpected byte at position:  ";
inline constexpr std::string_view kJSonExpected = "Expected:  '";
inline constexpr std::string_view kJSonFound = "' found:  '";
inline constexpr std::string_view kJSonTokenAtPosition = "' at position:  ";
inline constexpr std::string_view kJSonAtPosition = " at position:  ";
inline constexpr std::string_view kJSonStringTooLong = "String too long at position:  ";
inline constexpr std::string_view kJSonBadDataCount = "Invalid data byte count:  ";
// Expected texts of the third form for the request keys.
inline constexpr std::string_view kJSonMethodKey = "\"method\"";
inline constexpr std::string_view kJSonMetadataKey = "\"metadata\"";

// Text of a token kind in error messages ("Unknown" for anything else).
std::string_view DBXJSonTokenText(int AToken);

// A member of a message that is not the token it must be: TDBXError kJSonSyntaxErrorCode
// "Expected:  '<expected>' found:  '<found>'", without the reader's position and bytes.
[[noreturn]] void ThrowUnexpectedToken(int AExpected, int AFound);

// Printable form of bytes for messages and traces: 32..126 as themselves, others "#<decimal>".
std::string DBXJSonPrintable(std::string_view ABytes);
