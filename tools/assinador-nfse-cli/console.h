#pragma once

// What the program shows: bytes on standard output, messages for people, and the service's
// failure texts made readable. Each call writes and flushes whole; callers that share a stream
// between threads write from one thread only.

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/text.h"

// Throws Exception when the stream refuses the bytes.
void Write(std::FILE* AStream, std::string_view ABytes);

// Messages for people: in the terminal's character set, layers on separate lines (the service
// joins them with a lone CR, which a terminal would print over the previous layer), ending with
// a line break.
void Report(std::FILE* AStream, TextView AMessage);
void Report(std::FILE* AStream, std::string_view AUtf8);

// A failure text of the sign service as people should see it. The service quotes a document
// that did not load whole: people get a sentence and the parser's reason for ADocument
// instead (the file is named by SigningFailure). A document without a place for the signature
// gets one more line that says what is missing. Other texts are the service's, unchanged.
Text ForPeople(const Text& AFailure, const Text& ADocument, bool ARemote = false);

// A failure to sign the file AInput ("-": standard input) with the certificate ASerial: the
// sentence that names both, then AReason on the lines that follow.
Text SigningFailure(const std::string& AInput, TextView ASerial, TextView AReason);

// What is missing from a document that has no place for the signature: one line.
extern const char kTemplateHint[];

// Reads a secret typed at the terminal AFd without echo, after APrompt on standard error: Enter
// ends it, Backspace and Ctrl-U edit it, and at most AMax bytes are kept. False when it is
// cancelled (Ctrl-C, or Ctrl-D on an empty line); throws Exception when AFd is no terminal.
bool ReadSecretFromTerminal(int AFd, const std::string& APrompt, std::string& ASecret,
                            std::size_t AMax);

// Exit status of a command that failed (usage errors have their own).
inline constexpr int kExitFailure = 1;

// What signing a list of files shows, file by file in the order given: on a terminal a progress
// line while a file is signed; with several files the outcome of each and a summary at the end;
// every failure's text; how many attempts a file took when it took more than one.
class TSigningReport {
 public:
  explicit TSigningReport(std::size_t ATotal);

  void Starting(std::size_t AIndex, const std::string& AInput);
  // AWrittenTo is the output file, empty for standard output; AFailure is empty on success.
  // AAttempts above 1 (the file was sent again on a new connection) is said in the file's
  // outcome line, which a single file then gets too, on standard error.
  void Finished(const std::string& AInput, const std::string& AWrittenTo, TextView AFailure,
                int AAttempts = 1);
  // The summary; the command's exit status.
  int End();

 private:
  std::size_t FTotal;
  bool FSeveral;
  bool FProgress;
  std::size_t FFailures = 0;
};
