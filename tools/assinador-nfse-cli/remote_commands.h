#pragma once

// The commands that ask a signing server (assinador-nfsed or the tray program) over its
// remote-method protocol: "remoto certificados" and "remoto assinar". Each connection is one
// TDBXClient on a thread of its own; everything shown on standard output and standard error is
// written by the calling thread, in the order of the files. A file whose connection fails
// before its reply arrived is sent again on a new connection (--tentativas), so a client of
// several servers behind a balancer survives the death of the server it was talking to.
//
// Both return the program's exit status; failures are shown on standard error in Portuguese.

#include <string>
#include <vector>

#include "platform/text.h"
#include "tools/assinador-nfse-cli/command_line.h"

// Reads a document file, or standard input for "-"; throws Exception. May be called from
// several threads at once.
using TReadInput = std::string (*)(const std::string& AInput);

int RemoteListCertificates(const TCommandLine& ALine);
int RemoteSign(const TCommandLine& ALine, TReadInput AReadInput);

// The entries of the joined certificate list of the service: split at each ";" outside
// quotation marks; a quoted entry loses its quotation marks and has its doubled ones undone.
std::vector<Text> SplitCertificateList(TextView AList);
