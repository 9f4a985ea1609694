#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvalane {

// The text format LVM2 keeps a volume group's metadata in: sections `name { ... }` and
// assignments `key = value`, a value being a "string", a number or a [list, of, values];
// `#` starts a comment to the end of the line.
struct LvmValue {
  enum class Kind { String, Number, List };
  Kind Type = Kind::Number;
  std::string Text;     // String
  int64_t Number = 0;   // Number
  std::vector<LvmValue> Items;  // List (strings and numbers only)
};

struct LvmNode {
  std::string Key;
  bool IsSection = false;
  LvmValue Value;                 // an assignment's value
  std::vector<LvmNode> Children;  // a section's content, in text order

  // The first child named `key`, or null.
  const LvmNode* Find(std::string_view key) const;
  // A child assignment's string or number; the fallback when it is absent or of another kind.
  std::string String(std::string_view key, const std::string& fallback = {}) const;
  int64_t Number(std::string_view key, int64_t fallback = 0) const;
};

// Bounds that hostile text cannot pass: sections nested deeper, more nodes or list items.
inline constexpr size_t kLvmTextMaxDepth = 16;
inline constexpr size_t kLvmTextMaxNodes = 200000;

struct LvmTextResult {
  LvmNode Root;       // a section without a key holding the text's top level
  std::string Error;  // empty when the whole text was read: "line 12: '}' expected"
};

// Parses the text up to its end or its first NUL. Truncated or unbalanced text, a number
// out of range and text past the bounds are named in Error; what came before stays.
LvmTextResult ParseLvmText(std::string_view text);

}  // namespace korvalane
