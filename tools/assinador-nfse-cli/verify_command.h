#pragma once

// "verificar": checks every signature of each document file and says, signature by signature,
// whether it holds and why not. A document carries no signing time, so certificates are judged
// at the moment of the check: a signature intact but made with a certificate that has expired
// (or is not valid yet) fails, as the municipality would refuse it. With --ac the certificate's
// chain must reach one of the given ACs. Returns 0 when every signature of every file is valid,
// 1 otherwise.

#include "tools/assinador-nfse-cli/command_line.h"
#include "tools/assinador-nfse-cli/remote_commands.h"

int VerifyDocuments(const TCommandLine& ALine, TReadInput AReadInput);
