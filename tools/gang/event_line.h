#pragma once

#include <map>
#include <string>
#include <string_view>

#include "json/json_writer.h"

// The updater's `--progress json` objects are flat: one level of names with
// string, number, true, false or null values. This reads exactly that, and
// nothing more, from a line that may be anything.
struct EventLine {
  std::map<std::string, std::string> text;
  std::map<std::string, double> number;

  std::string Text(const std::string& name) const;
  long long Number(const std::string& name, long long otherwise = 0) const;
};

bool ParseEventLine(std::string_view line, EventLine& out);
