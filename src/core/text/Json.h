#pragma once

#include <concepts>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace korvalane {

// A JSON value for the machine-readable output of the command line: numbers as numbers
// (64-bit, signed or not), text as UTF-8 strings, objects keeping their keys in the order
// they were set. Dump writes one document, two blanks of indent a level.
class Json {
 public:
  Json() = default;  // null
  // Any integer (and bool) is a value: signed ones keep their sign, unsigned ones their
  // whole 64-bit range.
  template <std::integral T>
  Json(T value) {  // NOLINT: a value is a Json
    if constexpr (std::is_same_v<T, bool>) {
      value_ = value;
    } else if constexpr (std::is_signed_v<T>) {
      value_ = static_cast<int64_t>(value);
    } else {
      value_ = static_cast<uint64_t>(value);
    }
  }
  Json(const char* text) : value_(std::string(text)) {}                  // NOLINT
  Json(std::string text) : value_(std::move(text)) {}                    // NOLINT
  Json(std::u16string_view text);                                        // NOLINT: as UTF-8
  Json(const std::u16string& text) : Json(std::u16string_view(text)) {}  // NOLINT

  static Json Object();
  static Json Array();

  // Objects: sets a key (a key set again keeps its place and takes the new value).
  Json& Set(const std::string& key, Json value);
  // Arrays: appends.
  Json& Push(Json value);
  // Objects: sets every key of `other` (an object) in its order.
  Json& Update(const Json& other);
  // True for null and for an object or array without members.
  bool Empty() const;

  std::string Dump() const;

 private:
  struct Members {
    std::vector<std::pair<std::string, Json>> Items;
  };
  struct Elements {
    std::vector<Json> Items;
  };
  void Write(std::string& out, int depth) const;

  std::variant<std::monostate, bool, int64_t, uint64_t, std::string, std::shared_ptr<Members>,
               std::shared_ptr<Elements>>
      value_;
};

// A string as a JSON string literal: quotes, backslashes and control characters escaped
// (and U+2028/U+2029, which JavaScript will not take raw); the text is UTF-8.
std::string JsonString(std::string_view utf8);

}  // namespace korvalane
