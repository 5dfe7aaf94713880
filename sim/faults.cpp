#include "sim/faults.h"

#include <algorithm>
#include <charconv>

namespace sim {

namespace {

bool ParseNumber(std::string_view text, std::uint32_t& value) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

bool ParseFaultPoint(std::string_view text, FaultPoint& point) {
  point = FaultPoint{};
  if (text.starts_with("cmd:") || text.starts_with("rec:")) {
    point.kind =
        text[0] == 'c' ? FaultPoint::Kind::kCommandNumber : FaultPoint::Kind::kRecordNumber;
    return ParseNumber(text.substr(4), point.number) && point.number > 0;
  }
  point.kind = FaultPoint::Kind::kCommandText;
  point.number = 1;
  const std::size_t hash = text.find('#');
  point.text = std::string(text.substr(0, hash));
  if (hash != std::string_view::npos &&
      (!ParseNumber(text.substr(hash + 1), point.number) || point.number == 0)) {
    return false;
  }
  // Commands are one or two characters ("%" or a letter and its argument).
  return !point.text.empty() && point.text.size() <= 2;
}

bool ParseFaultPoints(std::string_view text, std::vector<FaultPoint>& points) {
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    FaultPoint point;
    if (!ParseFaultPoint(text.substr(0, comma), point)) return false;
    points.push_back(point);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
    if (text.empty()) return false;
  }
  return !points.empty();
}

FaultInjector::FaultInjector(const FaultPlan& plan) : plan_(plan), random_(plan.seed) {}

FaultInjector::Action FaultInjector::OnCommand(std::string_view text) {
  ++command_number_;
  auto it = std::find_if(occurrences_.begin(), occurrences_.end(),
                         [&](const auto& entry) { return entry.first == text; });
  if (it == occurrences_.end()) {
    occurrences_.emplace_back(std::string(text), 0);
    it = occurrences_.end() - 1;
  }
  return Match(false, text, ++it->second);
}

FaultInjector::Action FaultInjector::OnRecord() {
  ++record_number_;
  return Match(true, {}, 0);
}

FaultInjector::Action FaultInjector::Match(bool record, std::string_view text,
                                           std::uint32_t occurrence) const {
  auto hits = [&](const std::vector<FaultPoint>& points) {
    return std::any_of(points.begin(), points.end(), [&](const FaultPoint& p) {
      switch (p.kind) {
        case FaultPoint::Kind::kCommandNumber:
          return !record && p.number == command_number_;
        case FaultPoint::Kind::kRecordNumber:
          return record && p.number == record_number_;
        case FaultPoint::Kind::kCommandText:
          return !record && p.text == text && p.number == occurrence;
      }
      return false;
    });
  };
  // A hang-up, silence or chatter leaves nothing to fail, so they win over "X".
  if (hits(plan_.hangup_at)) return Action::kHangUp;
  if (hits(plan_.silence_at)) return Action::kSilence;
  if (hits(plan_.chatter_at)) return Action::kChatter;
  if (hits(plan_.fail_at)) return Action::kFail;
  return Action::kNone;
}

bool FaultInjector::ResendThisRecord() const {
  return std::find(plan_.resend_at.begin(), plan_.resend_at.end(), record_number_) !=
         plan_.resend_at.end();
}

bool FaultInjector::Chance(double probability) {
  if (probability <= 0) return false;
  // Drawn by hand rather than with a standard distribution, whose results
  // differ between library versions: a seed must replay the same faults.
  const double draw = static_cast<double>(random_()) / 4294967296.0;
  return draw < probability;
}

std::uint32_t FaultInjector::Below(std::uint32_t limit) {
  return limit == 0 ? 0 : static_cast<std::uint32_t>(random_() % limit);
}

}  // namespace sim
