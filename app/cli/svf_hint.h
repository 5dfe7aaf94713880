#pragma once

// The command line's pointer to the converter: an Effect file that stops at
// a line of full SVF is most likely a vendor's file that was never
// converted, and the technician is told what to run.

#include <functional>
#include <string>

class TMainFich;

extern const char* const kConverterHint;

// Called at an error stop; writes the hint through `out` when the run
// stopped at such a line.
void PointToConverter(const TMainFich& main, const std::function<void(const std::string&)>& out);
