#pragma once

#include <string>

// What a STOP left behind, in the words every front end and the gang use:
// the unit untouched, or possibly half updated with the instruction that was
// under way (empty when none was). No leading "Stopped: ", no final stop,
// so a caller can fit it into a line of its own.
inline std::string StopVerdict(bool unitChanged, const std::string& underWay) {
  if (!unitChanged) return "the unit was not changed";
  std::string text = "the unit may be incompletely updated";
  if (!underWay.empty()) text += " (" + underWay + " was under way)";
  return text + "; run the update again to complete it";
}
