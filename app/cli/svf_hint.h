#pragma once

// The command line's pointer to the converter: an Effect file that shows
// full SVF (a statement the subset lacks, a lower-case keyword, a "!"
// comment, a statement continued on the next line) is most likely a
// vendor's file that was never converted, and the technician is told what
// to run.

#include <functional>
#include <string>

class TMainFich;

// Called at an error stop; writes the hint through `out` when the run
// stopped at such a file.
void PointToConverter(const TMainFich& main, const std::function<void(const std::string&)>& out);
