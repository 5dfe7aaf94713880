#include "json.h"

#include <cstdlib>

namespace simtest {

namespace {

const Json kNull;

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  bool Value(Json& out) {
    Skip();
    if (at_ >= text_.size()) return false;
    const char c = text_[at_];
    if (c == '{') return Object(out);
    if (c == '[') return Array(out);
    if (c == '"') {
      out.kind = Json::Kind::kString;
      return String(out.text);
    }
    if (Word("true")) {
      out.kind = Json::Kind::kBool;
      out.boolean = true;
      return true;
    }
    if (Word("false")) {
      out.kind = Json::Kind::kBool;
      return true;
    }
    if (Word("null")) return true;
    const std::string rest(text_.substr(at_, 40));
    char* end = nullptr;
    out.number = std::strtod(rest.c_str(), &end);
    if (end == rest.c_str()) return false;
    out.kind = Json::Kind::kNumber;
    at_ += static_cast<std::size_t>(end - rest.c_str());
    return true;
  }

  bool AtEnd() {
    Skip();
    return at_ == text_.size();
  }

 private:
  void Skip() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\r' || text_[at_] == '\t')) {
      ++at_;
    }
  }
  bool Word(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }
  bool Take(char c) {
    Skip();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool String(std::string& out) {
    if (!Take('"')) return false;
    while (at_ < text_.size() && text_[at_] != '"') {
      char c = text_[at_++];
      if (c == '\\') {
        if (at_ >= text_.size()) return false;
        const char e = text_[at_++];
        if (e == 'u') {
          if (at_ + 4 > text_.size()) return false;
          c = static_cast<char>(
              std::strtol(std::string(text_.substr(at_, 4)).c_str(), nullptr, 16));
          at_ += 4;
        } else {
          c = e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
        }
      }
      out += c;
    }
    return Take('"');
  }
  bool Array(Json& out) {
    out.kind = Json::Kind::kArray;
    Take('[');
    if (Take(']')) return true;
    do {
      out.items.emplace_back();
      if (!Value(out.items.back())) return false;
    } while (Take(','));
    return Take(']');
  }
  bool Object(Json& out) {
    out.kind = Json::Kind::kObject;
    Take('{');
    if (Take('}')) return true;
    do {
      Skip();
      std::string key;
      if (!String(key) || !Take(':') || !Value(out.fields[key])) return false;
    } while (Take(','));
    return Take('}');
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

}  // namespace

const Json& Json::operator[](const std::string& key) const {
  const auto it = fields.find(key);
  return it == fields.end() ? kNull : it->second;
}

const Json& Json::operator[](std::size_t index) const {
  return index < items.size() ? items[index] : kNull;
}

bool ParseJson(std::string_view text, Json& value) {
  Parser parser(text);
  value = Json{};
  return parser.Value(value) && parser.AtEnd();
}

}  // namespace simtest
