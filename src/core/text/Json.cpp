#include "core/text/Json.h"

#include "core/text/Utf.h"

namespace korvalane {

Json::Json(std::u16string_view text) : value_(ToUtf8(text)) {}

Json Json::Object() {
  Json json;
  json.value_ = std::make_shared<Members>();
  return json;
}

Json Json::Array() {
  Json json;
  json.value_ = std::make_shared<Elements>();
  return json;
}

Json& Json::Set(const std::string& key, Json value) {
  if (!std::holds_alternative<std::shared_ptr<Members>>(value_)) *this = Object();
  auto& items = std::get<std::shared_ptr<Members>>(value_)->Items;
  for (auto& [name, existing] : items) {
    if (name == key) {
      existing = std::move(value);
      return *this;
    }
  }
  items.emplace_back(key, std::move(value));
  return *this;
}

Json& Json::Push(Json value) {
  if (!std::holds_alternative<std::shared_ptr<Elements>>(value_)) *this = Array();
  std::get<std::shared_ptr<Elements>>(value_)->Items.push_back(std::move(value));
  return *this;
}

Json& Json::Update(const Json& other) {
  if (const auto* members = std::get_if<std::shared_ptr<Members>>(&other.value_)) {
    for (const auto& [key, value] : (*members)->Items) Set(key, value);
  }
  return *this;
}

bool Json::Empty() const {
  if (std::holds_alternative<std::monostate>(value_)) return true;
  if (const auto* members = std::get_if<std::shared_ptr<Members>>(&value_)) return (*members)->Items.empty();
  if (const auto* elements = std::get_if<std::shared_ptr<Elements>>(&value_)) return (*elements)->Items.empty();
  return false;
}

std::string JsonString(std::string_view utf8) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else if (c == 0xE2 && i + 2 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) == 0x80 &&
                   (static_cast<unsigned char>(utf8[i + 2]) == 0xA8 || static_cast<unsigned char>(utf8[i + 2]) == 0xA9)) {
          out += static_cast<unsigned char>(utf8[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
          i += 2;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

void Json::Write(std::string& out, int depth) const {
  const std::string indent(static_cast<size_t>(depth + 1) * 2, ' ');
  const std::string closing(static_cast<size_t>(depth) * 2, ' ');
  if (std::holds_alternative<std::monostate>(value_)) {
    out += "null";
  } else if (const bool* b = std::get_if<bool>(&value_)) {
    out += *b ? "true" : "false";
  } else if (const int64_t* i = std::get_if<int64_t>(&value_)) {
    out += std::to_string(*i);
  } else if (const uint64_t* u = std::get_if<uint64_t>(&value_)) {
    out += std::to_string(*u);
  } else if (const std::string* s = std::get_if<std::string>(&value_)) {
    // A string from a hostile disk is valid UTF-8 by the time it is here, and stays so.
    out += JsonString(ToUtf8(FromUtf8(*s)));
  } else if (const auto* members = std::get_if<std::shared_ptr<Members>>(&value_)) {
    if ((*members)->Items.empty()) {
      out += "{}";
      return;
    }
    out += "{\n";
    for (size_t k = 0; k < (*members)->Items.size(); ++k) {
      const auto& [key, item] = (*members)->Items[k];
      out += indent + JsonString(key) + ": ";
      item.Write(out, depth + 1);
      out += k + 1 < (*members)->Items.size() ? ",\n" : "\n";
    }
    out += closing + "}";
  } else if (const auto* elements = std::get_if<std::shared_ptr<Elements>>(&value_)) {
    if ((*elements)->Items.empty()) {
      out += "[]";
      return;
    }
    out += "[\n";
    for (size_t k = 0; k < (*elements)->Items.size(); ++k) {
      out += indent;
      (*elements)->Items[k].Write(out, depth + 1);
      out += k + 1 < (*elements)->Items.size() ? ",\n" : "\n";
    }
    out += closing + "]";
  }
}

std::string Json::Dump() const {
  std::string out;
  Write(out, 0);
  return out + "\n";
}

}  // namespace korvalane
