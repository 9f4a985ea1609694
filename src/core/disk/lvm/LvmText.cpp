#include "core/disk/lvm/LvmText.h"

#include <limits>

namespace korvalane {

const LvmNode* LvmNode::Find(std::string_view key) const {
  for (const LvmNode& child : Children) {
    if (child.Key == key) return &child;
  }
  return nullptr;
}

std::string LvmNode::String(std::string_view key, const std::string& fallback) const {
  const LvmNode* node = Find(key);
  return node != nullptr && !node->IsSection && node->Value.Type == LvmValue::Kind::String ? node->Value.Text : fallback;
}

int64_t LvmNode::Number(std::string_view key, int64_t fallback) const {
  const LvmNode* node = Find(key);
  return node != nullptr && !node->IsSection && node->Value.Type == LvmValue::Kind::Number ? node->Value.Number
                                                                                           : fallback;
}

namespace {

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text.substr(0, text.find('\0'))) {}

  LvmTextResult Run() {
    LvmTextResult result;
    ParseBody(result.Root, 0, true);
    result.Error = error_;
    return result;
  }

 private:
  bool Fail(const std::string& what) {
    if (error_.empty()) error_ = "line " + std::to_string(line_) + ": " + what;
    return false;
  }

  void SkipBlanks() {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == '#') {
        while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
      } else if (c == '\n') {
        ++line_;
        ++pos_;
      } else if (c == ' ' || c == '\t' || c == '\r') {
        ++pos_;
      } else {
        return;
      }
    }
  }

  static bool IsNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.' || c == '+' || c == '/' || c == '@' || c == '%';
  }

  bool Count() {
    if (++nodes_ > kLvmTextMaxNodes) return Fail("more than " + std::to_string(kLvmTextMaxNodes) + " entries");
    return true;
  }

  // The entries of a section up to its '}' (or, at the top, to the end).
  bool ParseBody(LvmNode& section, size_t depth, bool top) {
    for (;;) {
      SkipBlanks();
      if (pos_ >= text_.size()) return top ? true : Fail("the text ends inside section '" + section.Key + "'");
      if (text_[pos_] == '}') {
        if (top) return Fail("'}' without its '{'");
        ++pos_;
        return true;
      }
      const size_t start = pos_;
      while (pos_ < text_.size() && IsNameChar(text_[pos_])) ++pos_;
      if (pos_ == start) return Fail(std::string("a name expected, not '") + text_[pos_] + "'");
      LvmNode node;
      node.Key = std::string(text_.substr(start, pos_ - start));
      if (!Count()) return false;
      SkipBlanks();
      if (pos_ >= text_.size()) return Fail("the text ends after '" + node.Key + "'");
      if (text_[pos_] == '{') {
        ++pos_;
        if (depth + 1 >= kLvmTextMaxDepth) return Fail("sections nested deeper than " + std::to_string(kLvmTextMaxDepth));
        node.IsSection = true;
        const bool ok = ParseBody(node, depth + 1, false);
        section.Children.push_back(std::move(node));
        if (!ok) return false;
      } else if (text_[pos_] == '=') {
        ++pos_;
        SkipBlanks();
        const bool ok = ParseValue(node.Value, true);
        section.Children.push_back(std::move(node));
        if (!ok) return false;
      } else {
        return Fail("'=' or '{' expected after '" + node.Key + "'");
      }
    }
  }

  bool ParseValue(LvmValue& value, bool listAllowed) {
    if (pos_ >= text_.size()) return Fail("the text ends where a value was expected");
    const char c = text_[pos_];
    if (c == '"') {
      value.Type = LvmValue::Kind::String;
      ++pos_;
      while (pos_ < text_.size() && text_[pos_] != '"') {
        if (text_[pos_] == '\\' && pos_ + 1 < text_.size()) ++pos_;
        if (text_[pos_] == '\n') ++line_;
        value.Text += text_[pos_++];
      }
      if (pos_ >= text_.size()) return Fail("the text ends inside a string");
      ++pos_;
      return true;
    }
    if (c == '[') {
      if (!listAllowed) return Fail("a list inside a list");
      value.Type = LvmValue::Kind::List;
      ++pos_;
      for (;;) {
        SkipBlanks();
        if (pos_ >= text_.size()) return Fail("the text ends inside a list");
        if (text_[pos_] == ']') {
          ++pos_;
          return true;
        }
        if (!value.Items.empty()) {
          if (text_[pos_] != ',') return Fail("',' or ']' expected in a list");
          ++pos_;
          SkipBlanks();
        }
        if (!Count()) return false;
        LvmValue item;
        if (!ParseValue(item, false)) return false;
        value.Items.push_back(std::move(item));
      }
    }
    if (c == '-' || (c >= '0' && c <= '9')) {
      value.Type = LvmValue::Kind::Number;
      const bool negative = c == '-';
      if (negative) ++pos_;
      const size_t start = pos_;
      uint64_t magnitude = 0;
      while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
        const uint64_t digit = static_cast<uint64_t>(text_[pos_] - '0');
        if (magnitude > (static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) - digit) / 10) {
          return Fail("a number too large");
        }
        magnitude = magnitude * 10 + digit;
        ++pos_;
      }
      if (pos_ == start) return Fail("a digit expected after '-'");
      // A fraction (a float in a config file) keeps its whole part.
      if (pos_ < text_.size() && text_[pos_] == '.') {
        ++pos_;
        while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
      }
      value.Number = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
      return true;
    }
    return Fail(std::string("a value expected, not '") + c + "'");
  }

  std::string_view text_;
  size_t pos_ = 0;
  size_t line_ = 1;
  size_t nodes_ = 0;
  std::string error_;
};

}  // namespace

LvmTextResult ParseLvmText(std::string_view text) { return Parser(text).Run(); }

}  // namespace korvalane
