#pragma once

// The sign service that remote clients call: the certificate list of the personal store as one
// text, and the signing of an NFS-e document. Failures come back as result texts; the few that
// escape the inner layers are written to the journal and answered with an empty text. Holds no
// state between calls; each call creates and releases its own objects, so instances may serve
// concurrent connections. Only a failure to write the journal record leaves an operation.

#include <functional>
#include <vector>

#include "platform/text.h"
#include "server/utils/logger.h"

// Told of every signature the service refuses (an error text returned): the serial number asked
// for and the text. The server gives one that records them (sign_failure_journal.h); the
// in-process callers give none.
using TSignFailureRecorder = std::function<void(const Text& ASerial, const Text& AStatus)>;

class TSMSignService {
 public:
  // ALog receives the journal records; TLogger::log when none is given.
  explicit TSMSignService(TLogFunction ALog = {}, TSignFailureRecorder AFailures = {});

  // The entries of the personal store joined by ";" (JoinCertificateList), or an empty text
  // after a logged failure.
  Text getListCertificate();

  // The signed document, or an error text that starts with a bracketed layer tag, or an empty
  // text after a logged failure.
  Text SignDocument(const Text& AXMLNF, const Text& ASerialNumber);
  // The same with the document handed over: signing frees it as soon as it no longer needs it,
  // so that a batch of megabytes is not held beside its signed copy.
  Text SignDocument(Text&& AXMLNF, const Text& ASerialNumber);

 private:
  Text Sign(const Text& AXMLNF, const Text& ASerialNumber, Text* AReleasable);

  TLogFunction FLog;
  TSignFailureRecorder FFailures;
};

// What a SignDocument result is. A signed document starts with its declaration or root element;
// the service's error texts start with a bracketed layer tag; an empty text means the failure
// went to the journal.
enum class TSignOutcome { Signed, ErrorText, Logged };
TSignOutcome SignOutcomeOf(const Text& AResult);

// Entries joined with ";". An entry holding a quotation mark, a ";" or a character from code 1
// to 32 is quoted, its quotation marks doubled; no ";" at the end; an empty list gives "".
Text JoinCertificateList(const std::vector<Text>& AList);
