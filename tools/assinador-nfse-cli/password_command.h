#pragma once

// "senha": reads a password as "importar" does (asked twice at a terminal) and prints its hash for
// the key SENHA_HASH of the server's configuration. Returns the program's exit status.

#include "tools/assinador-nfse-cli/command_line.h"

int PrintPasswordHash(const TCommandLine& ALine);
