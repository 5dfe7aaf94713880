#include "tools/gang/event_line.h"

#include <nlohmann/json.hpp>

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
  const auto object = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (!object.is_object()) return false;
  for (const auto& [name, value] : object.items()) {
    if (value.is_string()) {
      out.text[name] = SingleByteText(value.get<std::string>());
    } else if (value.is_boolean()) {
      out.number[name] = value.get<bool>() ? 1 : 0;
    } else if (value.is_number()) {
      out.number[name] = value.get<double>();
    } else if (!value.is_null()) {
      return false;  // the objects are flat: nothing nested
    }
  }
  return true;
}
