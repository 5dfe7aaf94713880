#include "json.h"

#include <cstdlib>

namespace e2e {

namespace {
const Json& Null() {
  static const Json null;
  return null;
}
}  // namespace

class JsonParser {
 public:
  explicit JsonParser(std::string_view text) : text_(text) {}

  bool Value(Json& out, int depth = 0) {
    if (depth > 64) return false;
    Skip();
    if (pos_ >= text_.size()) return false;
    const char c = text_[pos_];
    if (c == '{') return Object(out, depth);
    if (c == '[') return Array(out, depth);
    if (c == '"') {
      out.kind_ = Json::Kind::kString;
      return String(out.string_);
    }
    if (Word("true")) return Set(out, Json::Kind::kBool, true);
    if (Word("false")) return Set(out, Json::Kind::kBool, false);
    if (Word("null")) return Set(out, Json::Kind::kNull, false);
    return Number(out);
  }

  bool AtEnd() {
    Skip();
    return pos_ == text_.size();
  }

 private:
  void Skip() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\n' ||
                                   text_[pos_] == '\r' || text_[pos_] == '\t')) {
      ++pos_;
    }
  }
  bool Word(std::string_view w) {
    if (text_.substr(pos_, w.size()) != w) return false;
    pos_ += w.size();
    return true;
  }
  static bool Set(Json& out, Json::Kind kind, bool value) {
    out.kind_ = kind;
    out.bool_ = value;
    return true;
  }
  bool Number(Json& out) {
    const std::size_t start = pos_;
    while (pos_ < text_.size() &&
           std::string_view("+-0123456789.eE").find(text_[pos_]) != std::string_view::npos) {
      ++pos_;
    }
    if (pos_ == start) return false;
    out.kind_ = Json::Kind::kNumber;
    out.number_ = std::strtod(std::string(text_.substr(start, pos_ - start)).c_str(), nullptr);
    return true;
  }
  bool String(std::string& out) {
    ++pos_;  // opening quote
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == '"') return true;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= text_.size()) return false;
      const char e = text_[pos_++];
      switch (e) {
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          if (pos_ + 4 > text_.size()) return false;
          const long code = std::strtol(std::string(text_.substr(pos_, 4)).c_str(), nullptr, 16);
          pos_ += 4;
          out += static_cast<char>(code & 0xFF);  // the reports only escape single bytes
          break;
        }
        default:
          out += e;
      }
    }
    return false;
  }
  bool Array(Json& out, int depth) {
    out.kind_ = Json::Kind::kArray;
    ++pos_;
    Skip();
    if (pos_ < text_.size() && text_[pos_] == ']') return ++pos_, true;
    for (;;) {
      Json item;
      if (!Value(item, depth + 1)) return false;
      out.array_.push_back(std::move(item));
      Skip();
      if (pos_ >= text_.size()) return false;
      if (text_[pos_] == ',') {
        ++pos_;
        continue;
      }
      if (text_[pos_] == ']') return ++pos_, true;
      return false;
    }
  }
  bool Object(Json& out, int depth) {
    out.kind_ = Json::Kind::kObject;
    ++pos_;
    Skip();
    if (pos_ < text_.size() && text_[pos_] == '}') return ++pos_, true;
    for (;;) {
      Skip();
      std::string key;
      if (pos_ >= text_.size() || text_[pos_] != '"' || !String(key)) return false;
      Skip();
      if (pos_ >= text_.size() || text_[pos_] != ':') return false;
      ++pos_;
      Json value;
      if (!Value(value, depth + 1)) return false;
      out.object_[key] = std::move(value);
      Skip();
      if (pos_ >= text_.size()) return false;
      if (text_[pos_] == ',') {
        ++pos_;
        continue;
      }
      if (text_[pos_] == '}') return ++pos_, true;
      return false;
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

Json Json::Parse(std::string_view text) {
  JsonParser parser(text);
  Json out;
  if (!parser.Value(out) || !parser.AtEnd()) return Json();
  return out;
}

const Json& Json::operator[](const std::string& key) const {
  if (kind_ != Kind::kObject) return Null();
  const auto it = object_.find(key);
  return it == object_.end() ? Null() : it->second;
}

const Json& Json::operator[](std::size_t index) const {
  if (kind_ != Kind::kArray || index >= array_.size()) return Null();
  return array_[index];
}

}  // namespace e2e
