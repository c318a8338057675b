#pragma once

// The commands that change the personal certificate store: "importar" adds a password-protected
// PKCS#12 file, "remover" takes a certificate out. Both return the program's exit status and
// show failures on standard error in Portuguese.

#include "tools/assinador-nfse-cli/command_line.h"

int ImportCertificate(const TCommandLine& ALine);
int RemoveCertificate(const TCommandLine& ALine);
