#include "fake_link.h"

std::string FakeUnit::Reply(const std::string& sent) {
  if (silent) return "";
  if (auto it = overrides.find(sent); it != overrides.end()) return it->second;
  if (awaitingText_) {
    awaitingText_ = false;
    return ".";
  }
  if (sent == "%") return ".";
  if (sent == "17") return "." + bootChecksum + deviceId + ".";
  if (sent == "RS" || sent == "NP" || sent == "FI") return ".";
  if (sent == "UV" || sent == "OP" || (sent.size() == 2 && sent[0] == 'V')) {
    awaitingText_ = true;
    return ".";
  }
  if (sent.size() == 2 && sent[0] == 'T') {
    auto it = versions.find(sent[1]);
    return "." + (it == versions.end() ? std::string("0000") : it->second) + ".";
  }
  if (sent == "PB" || (sent.size() == 2 && sent[0] == 'P' && sent[1] >= '0' && sent[1] <= '3')) {
    return "..";  // command known, then erase done
  }
  if (!sent.empty() && sent[0] == ':') return ".";
  return "I";
}
