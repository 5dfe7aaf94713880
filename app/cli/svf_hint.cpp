#include "app/cli/svf_hint.h"

#include "app/main.h"

void PointToConverter(const TMainFich& main, const std::function<void(const std::string&)>& out) {
  if (!main.ConverterHint().empty()) out(main.ConverterHint());
}
