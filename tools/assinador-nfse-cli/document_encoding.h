#pragma once

// How a document file is encoded, found from its byte-order mark or its XML declaration, so
// the signed result can be written back exactly as the input was: UTF-8 (with or without a
// mark), ISO-8859-1, or UTF-16 in either byte order.

#include <string>
#include <string_view>

#include "platform/text.h"

enum class TCharset { Utf8, Latin1, Utf16Le, Utf16Be };

struct TDocumentEncoding {
  TCharset Charset = TCharset::Utf8;
  bool ByteOrderMark = false;
};

struct TDecodedDocument {
  Text Content;
  TDocumentEncoding Encoding;
};

// Throws Exception (in Portuguese) for an encoding it does not read, bytes that are not valid
// in the encoding found (a lone UTF-16 surrogate included), or a declaration that contradicts the
// bytes.
TDecodedDocument DecodeDocument(std::string_view ABytes);

// The text in AEncoding, with its mark when the input had one (UTF-16 always with its mark).
// Characters that ISO-8859-1 lacks are written as character references, which keep the signed
// content unchanged.
std::string EncodeDocument(TextView AContent, const TDocumentEncoding& AEncoding);
