#pragma once

// The name patterns of the administrative search methods (classes, methods, procedures).
// A pattern is compared with the whole name, without regard to ASCII case; '%' and '*' stand
// for any run of characters (none included), '_' and '?' for any one character, and there is
// no escape: both SQL-minded and file-minded clients find the usual wildcards. An empty
// pattern, as a null argument arrives, matches every name. Pure; any thread.

#include "platform/text.h"

bool MatchesNamePattern(TextView APattern, TextView AName);
