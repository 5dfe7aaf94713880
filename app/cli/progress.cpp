#include "app/cli/progress.h"

namespace {

constexpr int kWidth = 24;

int Percent(const TProgressBar& bar) {
  const int span = bar.Max - bar.Min;
  if (span <= 0) return 0;
  return (bar.Position - bar.Min) * 100 / span;
}

std::string Bar(const TProgressBar& bar) {
  const int filled = Percent(bar) * kWidth / 100;
  return "[" + std::string(static_cast<std::size_t>(filled), '#') +
         std::string(static_cast<std::size_t>(kWidth - filled), '.') + "] " +
         std::to_string(Percent(bar)) + "%";
}

}  // namespace

void ProgressLine::Update(const TProgressBar& instruction, const TProgressBar& script) {
  const std::string line = "instruction " + Bar(instruction) + "  script " + Bar(script);
  if (line == shown_) return;
  std::fprintf(out_, "\r%s\033[K", line.c_str());
  std::fflush(out_);
  shown_ = line;
}

void ProgressLine::Clear() {
  if (shown_.empty()) return;
  std::fputs("\r\033[K", out_);
  std::fflush(out_);
  shown_.clear();
}
