#pragma once

#include <string>
#include <vector>

#include "app/cli/options.h"

// qsr470-update --check: the whole job checked and planned without a unit or
// a port. Every problem goes to stderr as SCRIPT:LINE: message, the plan to
// stdout. Returns the exit status: 0 for a sound job, 1 otherwise.
int RunCheck(const CliOptions& options);

// The script a run would load and every file its job names, as paths (the
// script alone when it cannot be read: the run stops on that anyway).
std::vector<std::string> JobPaths(const CliOptions& options);
