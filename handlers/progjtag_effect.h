#pragma once

// The Effect file interpreter: one line of an Effect file (a line-oriented
// subset of SVF with this unit's own shift variants) in, at most one device
// record out. It does no input or output; the PROM handler decides when lines
// are read and what is sent.

#include <cstdint>
#include <string>
#include <string_view>

// The vectors of the last shift statement, kept for the dialogue that follows
// the record: the expected TDO and its MASK for the captured-data check, and
// the data block of a long SDR. Every parse starts from cleared fields, so
// they always describe the line parsed last.
struct TEffectFields {
  std::int32_t BitLength = 0;  // 0 to 512, from SIR or SDR; 0 otherwise
  std::uint8_t ShiftType = 0;  // record type of SIR or SDR; 0 otherwise
  std::string TdiText;         // transmission form; a long SDR's data block
  std::string TdoText;
  std::string MaskText;
  std::string SmaskText;
  bool DataPending = false;  // a long SDR's header: the data block is still to go

  bool operator==(const TEffectFields&) const = default;
};

// The result that marks a malformed line.
inline constexpr std::string_view kEffectLineError = "Error";

// Record types the unit knows, beside the shift types.
inline constexpr std::uint8_t kEffectRunTest = 0x04;
inline constexpr std::uint8_t kEffectState = 0x05;
inline constexpr std::uint8_t kEffectEndIr = 0x06;
inline constexpr std::uint8_t kEffectEndDr = 0x07;

// Shift type bits.
inline constexpr std::uint8_t kShiftSir = 0x02;
inline constexpr std::uint8_t kShiftSdr = 0x03;
inline constexpr std::uint8_t kShiftCapture = 0x10;  // a TDO was given
inline constexpr std::uint8_t kShiftCompressed = 0x80;

// Sent after the last line of every file; no statement produces it.
inline constexpr std::string_view kEffectEndRecord = ":00000001FF";

// Interprets one line (without its line end). Returns a record line, the
// malformed marker kEffectLineError, or an empty text when the line yields
// nothing (a comment, TRST, a statement without its ";"). Calling it again
// on the same line gives the same result and the same fields.
std::string ParseEffectLine(std::string_view line, TEffectFields& fields);

// For a line that ParseEffectLine found malformed: true when it is still
// good full SVF, only outside the subset (a blank line, a "!" comment, a
// statement the subset lacks or spells otherwise, or a piece of a statement
// wrapped across lines), so the file is most likely a vendor's SVF that has
// not been converted.
bool LooksLikeFullSvf(std::string_view line);

// The name a STATE statement gives the state with this record code, or an
// empty text for a code that names none.
std::string_view EffectStateName(std::uint8_t code);

// Helpers on hex digit text. Digits count only as "0"-"9" and "A"-"F".

// Byte pairs (counted from the left) in reverse order, each keeping its own
// digit order. An odd last digit has no partner and is moved as one unit.
std::string ReverseHexBytes(std::string_view text);

// Each digit of value becomes (mask digit AND value digit) when both texts
// have the same length; otherwise value is left alone.
void AndHexMask(std::string_view mask, std::string& value);

// True, with the repeated character, when the text has at least two
// characters and all of them equal the first.
bool IsUniformHex(std::string_view text, char& first);

// Appends the two digits of the byte sum (mod 256) of the text's pairs; an odd
// last digit is not summed.
void AppendHexSum(std::string& text);
