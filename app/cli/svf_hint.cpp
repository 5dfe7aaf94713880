#include "app/cli/svf_hint.h"

#include "app/main.h"

void PointToConverter(const TMainFich& main, const std::function<void(const std::string&)>& out) {
  if (!main.StoppedAtFullSvfLine()) return;
  out("This looks like a full SVF file: convert it into an Effect file with "
      "qsr470-svf2effect first.");
}
