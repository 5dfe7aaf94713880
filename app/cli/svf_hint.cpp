#include "app/cli/svf_hint.h"

#include "app/main.h"

const char* const kConverterHint =
    "This looks like a full SVF file: convert it into an Effect file with "
    "qsr470-svf2effect first.";

void PointToConverter(const TMainFich& main, const std::function<void(const std::string&)>& out) {
  if (main.StoppedAtFullSvfLine()) out(kConverterHint);
}
