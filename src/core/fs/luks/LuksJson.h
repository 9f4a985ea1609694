#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalane::luks {

// A JSON value as a LUKS2 header's JSON area holds it, with where each value lies in the
// area's text, so that a field can point at its bytes.
struct JsonValue {
  enum class Type : uint8_t { Null, Bool, Number, String, Array, Object };
  Type Kind = Type::Null;
  size_t Offset = 0;  // of the value's first character (a string's opening quote)
  size_t Length = 0;  // of its text, quotes and brackets included
  // A string's text (escapes resolved, as UTF-8), a number's digits, "true" or "false".
  std::string Text;
  // An object's members in the order the text gives them (Keys beside Items), an array's
  // elements (Keys empty).
  std::vector<std::string> Keys;
  std::vector<JsonValue> Items;

  // An object's member by name; the first of that name.
  const JsonValue* Find(std::string_view key) const;
  // A member's string, or a number's digits (LUKS2 writes 64-bit sizes as strings).
  std::optional<std::string> TextOf(std::string_view key) const;
  // A member's value as an unsigned number, whether written as a number or a string of
  // decimal digits; nothing when it is neither or does not fit 64 bits.
  std::optional<uint64_t> NumberOf(std::string_view key) const;
};

// What reading a text found: the value, or where and why it could not be read.
struct JsonParse {
  std::optional<JsonValue> Value;
  std::string Problem;
  size_t ProblemAt = 0;
};

// The limits that keep a hostile text bounded: nesting depth and the count of values.
inline constexpr size_t kDeepestJson = 32;
inline constexpr size_t kMostJsonValues = 100000;

// Reads one JSON value from `text` (a JSON area's bytes up to its first NUL), followed by
// nothing but white space. Refuses nesting past kDeepestJson and more than kMostJsonValues
// values; every refusal names its offset.
JsonParse ParseJson(std::string_view text);

// The text of a JSON area: its bytes up to the first NUL (the area is NUL-padded).
std::string_view JsonAreaText(const uint8_t* bytes, size_t size);

}  // namespace korvalane::luks
