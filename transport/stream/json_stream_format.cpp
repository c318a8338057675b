#include "transport/stream/json_stream_format.h"

#include <array>
#include <string>
#include <utility>

#include "transport/dbx_error.h"
#include "transport/protocol_names.h"

namespace {

const std::array<std::pair<std::u16string_view, int>, 24> kVocabulary = {{
    {u"result", scResult},
    {u"error", scError},
    {protocol_names::kConnect, scConnect},
    {protocol_names::kDisconnect, scDisconnect},
    {protocol_names::kPrepare, scPrepare},
    {protocol_names::kExecute, scExecute},
    {protocol_names::kCommandClose, scCommandClose},
    {protocol_names::kReaderClose, scReaderClose},
    {u"rows", scRows},
    {u"table", scTable},
    {u"columns", scColumns},
    {u"session", scSession},
    {u"data", scData},
    {u"next", scNext},
    {u"handle", scHandle},
    {u"fields", scFields},
    {u"parameters", scParameters},
    {u"txbegin", scTxBegin},
    {u"txend", scTxEnd},
    {protocol_names::kMoreBlob, scMoreBlob},
    {u"next_result", scNextResult},
    {u"vendor_property", scVendorProperty},
    {u"callback", scCallback},
    {u"metadata", scMetadata},
}};

}  // namespace

int DBXJSonStringCode(TextView AText) {
  for (const auto& [word, code] : kVocabulary)
    if (word == AText) return code;
  return scUnknown;
}

std::string_view DBXJSonTokenText(int AToken) {
  switch (AToken) {
    case jtObjectStart:
      return "{";
    case jtObjectEnd:
      return "}";
    case jtArrayStart:
      return "[";
    case jtArrayEnd:
      return "]";
    case jtTrue:
      return "true";
    case jtFalse:
      return "false";
    case jtNull:
      return "null";
    case jtNumber:
      return "-+0-9.";
    case jtStringStart:
    case jtString:
      return "\"";
    case jtNameSeparator:
      return ":";
    case jtValueSeparator:
      return ",";
    default:
      return "Unknown";
  }
}

std::string DBXJSonPrintable(std::string_view ABytes) {
  std::string out;
  out.reserve(ABytes.size());
  for (const char c : ABytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 32 && b <= 126) {
      out.push_back(c);
    } else {
      out.push_back('#');
      out += std::to_string(b);
    }
  }
  return out;
}

void ThrowUnexpectedToken(int AExpected, int AFound) {
  throw TDBXError(kJSonSyntaxErrorCode,
                  std::string(kJSonExpected) + std::string(DBXJSonTokenText(AExpected)) +
                      std::string(kJSonFound) + std::string(DBXJSonTokenText(AFound)) + "'");
}
