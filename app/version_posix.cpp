// Off Windows the executable has no version resource; the build's own
// four-part version stands in for it.
#include "app/About.h"

std::string ReadVersionString() {
  return QSR470_VERSION_STRING;
}
