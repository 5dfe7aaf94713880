#pragma once

#include "app/cli/options.h"

// qsr470-update --check: the whole job checked and planned without a unit or
// a port. Every problem goes to stderr as SCRIPT:LINE: message, the plan to
// stdout. Returns the exit status: 0 for a sound job, 1 otherwise.
int RunCheck(const CliOptions& options);
