#pragma once

// The system's failures as a person reads them: a Portuguese sentence for the errors people
// meet (a file that is not there, a permission, a connection refused, a time-out), with the
// system's own words kept for the rare others.

#include <string>

namespace sys {

// "o arquivo ou a pasta não existe", "permissão negada", ... for AErrno; for an error without
// a sentence of its own, "erro do sistema <number>". Lower case, no final period: it completes
// a sentence of the caller.
std::string ErrorReason(int AErrno);

// Whether ErrorReason has a sentence of its own for AErrno (the system's words add nothing then).
bool HasOwnReason(int AErrno);

// "<AWhat>: <reason>." and, when the reason is only the number, a second line
// "Detalhe: <the system's text>".
std::string ErrorMessage(const std::string& AWhat, int AErrno);

}  // namespace sys
