// The LUKS2 JSON area reader over hostile text: every value it gives lies within the text,
// and the report's one-line and JSON forms of it are made without fault.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/fs/luks/LuksDetails.h"
#include "core/fs/luks/LuksJson.h"

namespace {

void Require(bool holds) {
  if (!holds) __builtin_trap();
}

size_t CheckValue(const korvalane::luks::JsonValue& value, size_t size, size_t depth) {
  Require(value.Offset <= size && value.Length <= size - value.Offset && value.Length > 0);
  Require(depth <= korvalane::luks::kDeepestJson);
  Require(value.Kind != korvalane::luks::JsonValue::Type::Object || value.Keys.size() == value.Items.size());
  size_t count = 1;
  for (const korvalane::luks::JsonValue& item : value.Items) {
    Require(item.Offset >= value.Offset && item.Offset + item.Length <= value.Offset + value.Length);
    count += CheckValue(item, size, depth + 1);
  }
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalane::luks;
  const std::string_view text = JsonAreaText(data, size);
  const JsonParse parse = ParseJson(text);
  if (!parse.Value) {
    Require(!parse.Problem.empty() && parse.ProblemAt <= text.size());
    return 0;
  }
  Require(CheckValue(*parse.Value, text.size(), 0) <= kMostJsonValues);
  (void)OneLine(*parse.Value);
  (void)ToJson(*parse.Value).Dump();
  for (const char* key : {"keyslots", "segments", "digests", "tokens", "config"}) {
    if (const JsonValue* section = parse.Value->Find(key)) (void)section->NumberOf("offset");
  }
  return 0;
}
