#include "tools/gang/event_line.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace {

class Reader {
 public:
  explicit Reader(std::string_view s) : s_(s) {}

  void Blanks() {
    while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\r'))
      ++at_;
  }
  bool Take(char c) {
    Blanks();
    if (at_ >= s_.size() || s_[at_] != c) return false;
    ++at_;
    return true;
  }
  bool Word(std::string_view w) {
    Blanks();
    if (s_.substr(at_, w.size()) != w) return false;
    at_ += w.size();
    return true;
  }
  bool AtEnd() {
    Blanks();
    return at_ == s_.size();
  }
  char Peek() {
    Blanks();
    return at_ < s_.size() ? s_[at_] : '\0';
  }

  bool String(std::string& out) {
    if (!Take('"')) return false;
    out.clear();
    while (at_ < s_.size()) {
      const char c = s_[at_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ >= s_.size()) return false;
      const char e = s_[at_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out += e;
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'u': {
          if (at_ + 4 > s_.size()) return false;
          unsigned code = 0;
          for (int k = 0; k < 4; ++k) {
            const char h = s_[at_++];
            code *= 16;
            if (h >= '0' && h <= '9') {
              code += static_cast<unsigned>(h - '0');
            } else if (h >= 'a' && h <= 'f') {
              code += static_cast<unsigned>(h - 'a' + 10);
            } else if (h >= 'A' && h <= 'F') {
              code += static_cast<unsigned>(h - 'A' + 10);
            } else {
              return false;
            }
          }
          // The updater's texts are single bytes; anything wider is shown as '?'.
          out += code < 0x100 ? static_cast<char>(code) : '?';
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  bool Number(double& out) {
    Blanks();
    const std::size_t start = at_;
    while (at_ < s_.size() &&
           (std::isdigit(static_cast<unsigned char>(s_[at_])) || s_[at_] == '-' || s_[at_] == '+' ||
            s_[at_] == '.' || s_[at_] == 'e' || s_[at_] == 'E')) {
      ++at_;
    }
    if (at_ == start || at_ - start > 40) return false;
    const std::string text(s_.substr(start, at_ - start));
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size();
  }

 private:
  std::string_view s_;
  std::size_t at_ = 0;
};

}  // namespace

std::string EventLine::Text(const std::string& name) const {
  const auto it = text.find(name);
  return it == text.end() ? std::string() : it->second;
}

long long EventLine::Number(const std::string& name, long long otherwise) const {
  const auto it = number.find(name);
  return it == number.end() ? otherwise : static_cast<long long>(it->second);
}

bool ParseEventLine(std::string_view line, EventLine& out) {
  out = EventLine{};
  Reader r(line);
  if (!r.Take('{')) return false;
  if (r.Take('}')) return r.AtEnd();
  do {
    std::string name;
    if (!r.String(name) || !r.Take(':')) return false;
    const char c = r.Peek();
    if (c == '"') {
      std::string value;
      if (!r.String(value)) return false;
      out.text[name] = value;
    } else if (r.Word("true")) {
      out.number[name] = 1;
    } else if (r.Word("false")) {
      out.number[name] = 0;
    } else if (r.Word("null")) {
      // a name without a value
    } else {
      double value = 0;
      if (!r.Number(value)) return false;
      out.number[name] = value;
    }
  } while (r.Take(','));
  return r.Take('}') && r.AtEnd();
}

std::string JsonQuote(const std::string& text) {
  std::string out = "\"";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20 || c >= 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}
