#pragma once

// Writing JSON text. Reading is left to nlohmann-json wherever JSON is read;
// what it gives back as UTF-8 turns into the written bytes with
// `SingleByteText`.

#include <string>
#include <string_view>

// A JSON string literal. The texts written here are single bytes (a unit's
// replies, file names, status lines); a byte outside printable ASCII is
// written as its own code point, so the output is valid JSON whatever the
// text holds and a reader can give back exactly the bytes that went in.
std::string JsonString(std::string_view text);

// The inverse of JsonString's byte mapping: a string a JSON reader decoded
// to UTF-8 back to one byte per code point. A code point above 0xFF, which
// JsonString never writes, becomes '?'.
std::string SingleByteText(std::string_view utf8);
