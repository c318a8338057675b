#pragma once

// Owning wrappers of zlib's z_stream: the constructor initialises the stream, the destructor
// ends it. Not movable: zlib keeps a pointer back to the z_stream it initialised.
// Failures raise TDBXError carrying zlib's message for the code (for example "data error").

#include <zlib.h>

class TZDeflateStream {
 public:
  TZDeflateStream(int ALevel, int AWindowBits, int AMemLevel, int AStrategy);
  ~TZDeflateStream();
  TZDeflateStream(const TZDeflateStream&) = delete;
  TZDeflateStream& operator=(const TZDeflateStream&) = delete;

  z_stream* get() { return &FStream; }

 private:
  z_stream FStream{};
};

class TZInflateStream {
 public:
  explicit TZInflateStream(int AWindowBits);
  ~TZInflateStream();
  TZInflateStream(const TZInflateStream&) = delete;
  TZInflateStream& operator=(const TZInflateStream&) = delete;

  z_stream* get() { return &FStream; }

 private:
  z_stream FStream{};
};

// Raises the TDBXError for a zlib result code.
[[noreturn]] void ThrowZLib(int ACode);
