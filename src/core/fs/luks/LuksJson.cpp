#include "core/fs/luks/LuksJson.h"

#include <cstring>

#include "core/text/Utf.h"

namespace korvalane::luks {
namespace {

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  JsonParse Read() {
    JsonParse parse;
    JsonValue value;
    SkipBlanks();
    if (Value(value, 0)) {
      SkipBlanks();
      if (at_ == text_.size()) {
        parse.Value = std::move(value);
        return parse;
      }
      Fail("text after the value");
    }
    parse.Problem = problem_;
    parse.ProblemAt = problemAt_;
    return parse;
  }

 private:
  bool Fail(const char* why) {
    if (problem_.empty()) {
      problem_ = why;
      problemAt_ = at_;
    }
    return false;
  }

  void SkipBlanks() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r')) ++at_;
  }

  bool Value(JsonValue& out, size_t depth) {
    if (++values_ > kMostJsonValues) return Fail("more values than a header holds");
    if (at_ >= text_.size()) return Fail("the text ends where a value should be");
    out.Offset = at_;
    const char c = text_[at_];
    bool read = false;
    if (c == '{' || c == '[') {
      if (depth >= kDeepestJson) return Fail("nested deeper than a header nests");
      read = c == '{' ? Object(out, depth) : Array(out, depth);
    } else if (c == '"') {
      out.Kind = JsonValue::Type::String;
      read = String(out.Text);
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      out.Kind = JsonValue::Type::Number;
      read = Number(out.Text);
    } else {
      read = Word(out);
    }
    out.Length = at_ - out.Offset;
    return read;
  }

  bool Word(JsonValue& out) {
    for (const char* word : {"true", "false", "null"}) {
      const size_t length = std::strlen(word);
      if (text_.substr(at_, length) == word) {
        at_ += length;
        out.Kind = word[0] == 'n' ? JsonValue::Type::Null : JsonValue::Type::Bool;
        if (word[0] != 'n') out.Text = word;
        return true;
      }
    }
    return Fail("not a JSON value");
  }

  bool Number(std::string& digits) {
    const size_t start = at_;
    if (text_[at_] == '-') ++at_;
    const auto run = [&] {
      const size_t from = at_;
      while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
      return at_ > from;
    };
    if (!run()) return Fail("a number without digits");
    if (at_ < text_.size() && text_[at_] == '.') {
      ++at_;
      if (!run()) return Fail("a fraction without digits");
    }
    if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
      ++at_;
      if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) ++at_;
      if (!run()) return Fail("an exponent without digits");
    }
    digits = std::string(text_.substr(start, at_ - start));
    return true;
  }

  bool Hex4(uint32_t& code) {
    if (text_.size() - at_ < 4) return Fail("a \\u escape cut short");
    code = 0;
    for (int i = 0; i < 4; ++i, ++at_) {
      const char h = text_[at_];
      code <<= 4;
      if (h >= '0' && h <= '9') {
        code |= static_cast<uint32_t>(h - '0');
      } else if (h >= 'a' && h <= 'f') {
        code |= static_cast<uint32_t>(h - 'a' + 10);
      } else if (h >= 'A' && h <= 'F') {
        code |= static_cast<uint32_t>(h - 'A' + 10);
      } else {
        return Fail("a \\u escape with a character that is no hex digit");
      }
    }
    return true;
  }

  bool String(std::string& out) {
    ++at_;  // the opening quote
    while (at_ < text_.size()) {
      const char c = text_[at_];
      if (c == '"') {
        ++at_;
        return true;
      }
      if (static_cast<unsigned char>(c) < 0x20) return Fail("a control character inside a string");
      if (c != '\\') {
        out += c;
        ++at_;
        continue;
      }
      if (++at_ >= text_.size()) break;
      const char e = text_[at_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          uint32_t code = 0;
          if (!Hex4(code)) return false;
          // A high surrogate with its low one makes one character; a lone one is U+FFFD.
          std::u16string units(1, static_cast<char16_t>(code));
          if (code >= 0xD800 && code <= 0xDBFF && text_.substr(at_, 2) == "\\u") {
            const size_t back = at_;
            at_ += 2;
            uint32_t low = 0;
            if (!Hex4(low)) return false;
            if (low >= 0xDC00 && low <= 0xDFFF) {
              units += static_cast<char16_t>(low);
            } else {
              at_ = back;
            }
          }
          out += ToUtf8(units);
          break;
        }
        default:
          return Fail("an unknown escape inside a string");
      }
    }
    return Fail("a string without its closing quote");
  }

  bool Object(JsonValue& out, size_t depth) {
    out.Kind = JsonValue::Type::Object;
    ++at_;
    SkipBlanks();
    if (at_ < text_.size() && text_[at_] == '}') {
      ++at_;
      return true;
    }
    while (true) {
      SkipBlanks();
      if (at_ >= text_.size() || text_[at_] != '"') return Fail("an object member without a name");
      std::string key;
      if (!String(key)) return false;
      SkipBlanks();
      if (at_ >= text_.size() || text_[at_] != ':') return Fail("a member name without its colon");
      ++at_;
      SkipBlanks();
      JsonValue member;
      if (!Value(member, depth + 1)) return false;
      out.Keys.push_back(std::move(key));
      out.Items.push_back(std::move(member));
      SkipBlanks();
      if (at_ >= text_.size()) return Fail("an object without its closing brace");
      if (text_[at_] == ',') {
        ++at_;
        continue;
      }
      if (text_[at_] != '}') return Fail("object members not separated by a comma");
      ++at_;
      return true;
    }
  }

  bool Array(JsonValue& out, size_t depth) {
    out.Kind = JsonValue::Type::Array;
    ++at_;
    SkipBlanks();
    if (at_ < text_.size() && text_[at_] == ']') {
      ++at_;
      return true;
    }
    while (true) {
      SkipBlanks();
      JsonValue element;
      if (!Value(element, depth + 1)) return false;
      out.Items.push_back(std::move(element));
      SkipBlanks();
      if (at_ >= text_.size()) return Fail("an array without its closing bracket");
      if (text_[at_] == ',') {
        ++at_;
        continue;
      }
      if (text_[at_] != ']') return Fail("array elements not separated by a comma");
      ++at_;
      return true;
    }
  }

  std::string_view text_;
  size_t at_ = 0;
  size_t values_ = 0;
  std::string problem_;
  size_t problemAt_ = 0;
};

}  // namespace

const JsonValue* JsonValue::Find(std::string_view key) const {
  if (Kind != Type::Object) return nullptr;
  for (size_t i = 0; i < Keys.size() && i < Items.size(); ++i) {
    if (Keys[i] == key) return &Items[i];
  }
  return nullptr;
}

std::optional<std::string> JsonValue::TextOf(std::string_view key) const {
  const JsonValue* value = Find(key);
  if (value == nullptr || (value->Kind != Type::String && value->Kind != Type::Number)) return std::nullopt;
  return value->Text;
}

std::optional<uint64_t> JsonValue::NumberOf(std::string_view key) const {
  const std::optional<std::string> text = TextOf(key);
  if (!text || text->empty() || text->size() > 20) return std::nullopt;
  uint64_t number = 0;
  for (const char c : *text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (number > (UINT64_MAX - digit) / 10) return std::nullopt;
    number = number * 10 + digit;
  }
  return number;
}

JsonParse ParseJson(std::string_view text) { return Reader(text).Read(); }

std::string_view JsonAreaText(const uint8_t* bytes, size_t size) {
  const void* nul = std::memchr(bytes, 0, size);
  const size_t length = nul != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - bytes) : size;
  return std::string_view(reinterpret_cast<const char*>(bytes), length);
}

}  // namespace korvalane::luks
