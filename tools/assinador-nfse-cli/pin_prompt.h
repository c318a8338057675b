#pragma once

// Where assinar gets a token's PIN: the first line of --pin-arquivo, or typed at the terminal.

#include "tools/assinador-nfse-cli/command_line.h"

// Sets the process's PIN source for ALine.
void UsePinSource(const TCommandLine& ALine);
