#pragma once

// Just enough JSON to read the reports the programs write: a document that
// does not parse gives a null value, so a test fails on its assertions
// rather than crashing.

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace e2e {

class Json {
 public:
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };

  static Json Parse(std::string_view text);

  Kind kind() const { return kind_; }
  bool IsNull() const { return kind_ == Kind::kNull; }
  const std::string& Str() const { return string_; }
  double Num() const { return number_; }
  bool Bool() const { return bool_; }
  std::size_t Size() const { return kind_ == Kind::kArray ? array_.size() : object_.size(); }

  // A missing member or index gives a null value.
  const Json& operator[](const std::string& key) const;
  const Json& operator[](std::size_t index) const;

 private:
  Kind kind_ = Kind::kNull;
  bool bool_ = false;
  double number_ = 0;
  std::string string_;
  std::vector<Json> array_;
  std::map<std::string, Json> object_;

  friend class JsonParser;
};

}  // namespace e2e
