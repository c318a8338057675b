#include "transport/filter/zlib_stream.h"

#include "transport/dbx_error.h"
#include "transport/filter/filter_messages.h"

void ThrowZLib(int ACode) {
  // zError gives the fixed text of the code, the one deployed clients report ("data error");
  // the stream's own msg is more detailed but differs between zlib versions.
  throw TDBXError(filter_messages::kErrorCode, std::string_view(zError(ACode)));
}

TZDeflateStream::TZDeflateStream(int ALevel, int AWindowBits, int AMemLevel, int AStrategy) {
  const int result = deflateInit2(&FStream, ALevel, Z_DEFLATED, AWindowBits, AMemLevel, AStrategy);
  if (result != Z_OK) ThrowZLib(result);
}

TZDeflateStream::~TZDeflateStream() { deflateEnd(&FStream); }

TZInflateStream::TZInflateStream(int AWindowBits) {
  const int result = inflateInit2(&FStream, AWindowBits);
  if (result != Z_OK) ThrowZLib(result);
}

TZInflateStream::~TZInflateStream() { inflateEnd(&FStream); }
