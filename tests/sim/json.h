#pragma once

// The reports the tests read (the unit's end report, the updater's run
// record), read with nlohmann-json into a value a test can chain lookups on.

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace simtest {

struct Json {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<Json> items;
  std::map<std::string, Json> fields;

  // Missing members and items read as null, so a test can chain lookups.
  const Json& operator[](const std::string& key) const;
  const Json& operator[](std::size_t index) const;
};

bool ParseJson(std::string_view text, Json& value);

}  // namespace simtest
