#pragma once

// Process-wide set-up of libxml2, xmlsec and xmlsec's OpenSSL backend. Construct exactly one,
// first thing in main, and let it be destroyed last: the crypto backend cannot be shut down
// while other threads still sign. Throws Exception when a library refuses to start.
//
// Besides starting the libraries it fixes what every later call relies on: base64 and
// generated markup without line breaks, library errors collected per call instead of printed,
// and an external-entity loader that refuses everything, so no parse ever reads a file or the
// network.

// Base64 texts are written in lines of this many characters: longer than any certificate or
// signature value, so they come out on one line.
inline constexpr int kBase64LineSize = 1 << 24;

class TXmlLibraryScope {
 public:
  TXmlLibraryScope();
  ~TXmlLibraryScope();
  TXmlLibraryScope(const TXmlLibraryScope&) = delete;
  TXmlLibraryScope& operator=(const TXmlLibraryScope&) = delete;
};
