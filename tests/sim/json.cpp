#include "json.h"

#include <nlohmann/json.hpp>

#include "json/json_writer.h"

namespace simtest {

namespace {

const Json kNull;

Json Convert(const nlohmann::json& from) {
  Json to;
  switch (from.type()) {
    case nlohmann::json::value_t::object:
      to.kind = Json::Kind::kObject;
      for (const auto& [name, value] : from.items())
        to.fields[SingleByteText(name)] = Convert(value);
      break;
    case nlohmann::json::value_t::array:
      to.kind = Json::Kind::kArray;
      for (const auto& item : from)
        to.items.push_back(Convert(item));
      break;
    case nlohmann::json::value_t::string:
      to.kind = Json::Kind::kString;
      to.text = SingleByteText(from.get<std::string>());
      break;
    case nlohmann::json::value_t::boolean:
      to.kind = Json::Kind::kBool;
      to.boolean = from.get<bool>();
      break;
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned:
    case nlohmann::json::value_t::number_float:
      to.kind = Json::Kind::kNumber;
      to.number = from.get<double>();
      break;
    case nlohmann::json::value_t::null:
    case nlohmann::json::value_t::binary:
    case nlohmann::json::value_t::discarded:
      break;
  }
  return to;
}

}  // namespace

bool ParseJson(std::string_view text, Json& value) {
  const auto parsed = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) return false;
  value = Convert(parsed);
  return true;
}

const Json& Json::operator[](const std::string& key) const {
  const auto it = fields.find(key);
  return it == fields.end() ? kNull : it->second;
}

const Json& Json::operator[](std::size_t index) const {
  return index < items.size() ? items[index] : kNull;
}

}  // namespace simtest
