// The LUKS2 JSON area reader and the header decoders over hostile bytes: texts that are
// cut short, unbalanced, nested or repeated without end, sizes that would make huge reads,
// and a volume whose primary header is gone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/fs/luks/LuksHeader.h"
#include "core/fs/luks/LuksJson.h"
#include "core/fs/luks/LuksStructures.h"
#include "core/hash/Digest.h"

namespace korvalane {
namespace {

using luks::JsonValue;
using luks::ParseJson;

TEST(LuksJsonTest, HostileTextsAreRefusedWithTheirPlace) {
  struct Case {
    std::string Text;
    const char* Problem;
    size_t At;
  };
  const Case cases[] = {
      {"", "the text ends where a value should be", 0},
      {R"({"keyslots":)", "the text ends where a value should be", 12},
      {R"({"a":[1,2})", "array elements not separated by a comma", 9},
      {R"({"a":1 "b":2})", "object members not separated by a comma", 7},
      {R"({"a" 1})", "a member name without its colon", 5},
      {R"({1:2})", "an object member without a name", 1},
      {R"({"a":"open)", "a string without its closing quote", 10},
      {"{\"a\":\"\x01\"}", "a control character inside a string", 6},
      {R"(["\x"])", "an unknown escape inside a string", 4},
      {R"(["\u12G4"])", "a \\u escape with a character that is no hex digit", 6},
      {R"(["\u12)", "a \\u escape cut short", 4},
      {"{} {}", "text after the value", 3},
      {"[-]", "a number without digits", 2},
      {"[1.]", "a fraction without digits", 3},
      {"[1e+]", "an exponent without digits", 4},
      {"[nul]", "not a JSON value", 1},
      {std::string(33, '[') + std::string(33, ']'), "nested deeper than a header nests", 32},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text);
    const luks::JsonParse parse = ParseJson(c.Text);
    EXPECT_FALSE(parse.Value);
    EXPECT_EQ(parse.Problem, c.Problem);
    EXPECT_EQ(parse.ProblemAt, c.At);
  }
  // Deep enough to overflow a stack that nobody bounded, and more values than any header.
  EXPECT_EQ(ParseJson(std::string(1000000, '[')).Problem, "nested deeper than a header nests");
  std::string many = "[0";
  for (size_t i = 0; i < luks::kMostJsonValues; ++i) many += ",0";
  EXPECT_EQ(ParseJson(many + "]").Problem, "more values than a header holds");
  EXPECT_TRUE(ParseJson(std::string(luks::kDeepestJson, '[') + std::string(luks::kDeepestJson, ']')).Value);
}

TEST(LuksJsonTest, ValuesKnowWhereTheirTextLies) {
  const std::string text = R"( {"offset": "16777216", "key_size":64, "s":"a\"\u00e9\ud83d\ude00\ud800", "l":[true,null]} )";
  const luks::JsonParse parse = ParseJson(text);
  ASSERT_TRUE(parse.Value) << parse.Problem;
  const JsonValue& root = *parse.Value;
  ASSERT_EQ(root.Keys, (std::vector<std::string>{"offset", "key_size", "s", "l"}));
  EXPECT_EQ(text.substr(root.Items[0].Offset, root.Items[0].Length), "\"16777216\"");
  EXPECT_EQ(text.substr(root.Items[1].Offset, root.Items[1].Length), "64");
  EXPECT_EQ(root.NumberOf("offset"), 16777216u);
  EXPECT_EQ(root.NumberOf("key_size"), 64u);
  EXPECT_EQ(root.Find("s")->Text, "a\"\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBD");  // a lone surrogate is U+FFFD
  EXPECT_EQ(root.Find("l")->Items.size(), 2u);
  EXPECT_EQ(root.Find("l")->Items[1].Kind, JsonValue::Type::Null);
  for (const auto& [number, expected] : {std::pair{"18446744073709551615", true}, std::pair{"18446744073709551616", false},
                                         std::pair{"-1", false}, std::pair{"1.5", false}}) {
    const luks::JsonParse n = ParseJson(std::string("{\"n\":") + number + "}");
    ASSERT_TRUE(n.Value);
    EXPECT_EQ(n.Value->NumberOf("n").has_value(), expected) << number;
  }
}

// A LUKS2 binary header of `size` bytes at `place` holding `json`, its checksum made.
std::vector<uint8_t> Header(uint64_t size, uint64_t place, const std::string& json, bool secondary = false) {
  std::vector<uint8_t> bytes(std::clamp<uint64_t>(size, 4096, 16384), 0);
  const auto& magic = secondary ? luks::kSecondaryMagic : luks::kMagic;
  std::copy(std::begin(magic), std::end(magic), bytes.begin());
  const auto put = [&](size_t at, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
  };
  put(6, 2, 2);
  put(8, size, 8);
  put(16, 7, 8);
  std::memcpy(bytes.data() + 72, "sha256", 6);
  put(256, place, 8);
  if (size <= bytes.size()) {
    std::memcpy(bytes.data() + 4096, json.data(), std::min(json.size(), bytes.size() - 4096));
    Digest digest(DigestKind::Sha256);
    digest.Update(std::span<const uint8_t>(bytes).first(size));
    const std::string hex = digest.Hex();
    for (size_t i = 0; i < 32 && hex.size() == 64; ++i) bytes[448 + i] = static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
  }
  return bytes;
}

constexpr char kJson[] = R"({"keyslots":{},"tokens":{},"segments":{"0":{"type":"crypt","offset":"16384"}},"digests":{},"config":{}})";

TEST(LuksHeaderTest, HostileSizesMakeNoHugeRead) {
  for (const uint64_t size : {uint64_t{0}, uint64_t{4096}, uint64_t{16385}, uint64_t{1} << 40, ~uint64_t{0}}) {
    SCOPED_TRACE(size);
    const std::vector<uint8_t> bytes = Header(size, 0, kJson);
    size_t largest = 0;
    StructureInput input;
    input.Bytes = std::span<const uint8_t>(bytes).first(4096);
    input.Read = [&](uint64_t, std::span<uint8_t> out) {
      largest = std::max(largest, out.size());
      return false;
    };
    const Structure s = DecodeLuks2Header(input);
    EXPECT_EQ(largest, 0u);
    ASSERT_FALSE(s.Checks.empty());
    EXPECT_EQ(s.Checks.back().Name, "Header size (a power of two, 16 KiB to 4 MiB)");
    EXPECT_FALSE(s.Checks.back().Holds);
    // Read as a volume, the header is no sound one, and the reads stay within 4 MiB.
    const luks::HeaderCopy copy = luks::ReadHeaderCopy(
        [&](uint64_t, std::span<uint8_t> out) {
          largest = std::max(largest, out.size());
          std::copy_n(bytes.begin(), std::min(out.size(), bytes.size()), out.begin());
          return true;
        },
        0);
    EXPECT_FALSE(copy.Sound());
    EXPECT_LE(largest, luks::kLargestHeader);
  }
}

TEST(LuksHeaderTest, ASoundHeaderIsDecodedAndAHostileJsonAreaNamed) {
  const std::vector<uint8_t> sound = Header(16384, 0, kJson);
  StructureInput input;
  input.Bytes = sound;
  Structure s = DecodeLuks2Header(input);
  EXPECT_TRUE(std::all_of(s.Checks.begin(), s.Checks.end(), [](const Check& c) { return c.Holds; }));
  const auto field = std::find_if(s.Fields.begin(), s.Fields.end(), [](const Field& f) { return f.Group == "segments.0" && f.Name == "offset"; });
  ASSERT_NE(field, s.Fields.end());
  EXPECT_EQ(field->Value, "\"16384\"");
  EXPECT_EQ(field->Offset, 4096 + std::string(kJson).find("\"16384\""));

  for (const std::string& json : {std::string(R"({"keyslots":{"0":)"), std::string(5000, '{')}) {
    const std::vector<uint8_t> hostile = Header(16384, 0, json);
    input.Bytes = hostile;
    s = DecodeLuks2Header(input);
    ASSERT_FALSE(s.Notes.empty());
    EXPECT_TRUE(s.Notes.back().starts_with("The JSON area cannot be read: ")) << s.Notes.back();
  }
  // An area of many values shows the first few thousand of them.
  std::string wide = "{\"a\":[0";
  for (int i = 0; i < 6000; ++i) wide += ",0";
  const std::vector<uint8_t> many = Header(16384, 0, wide + "]}");
  input.Bytes = many;
  s = DecodeLuks2Header(input);
  ASSERT_FALSE(s.Notes.empty());
  EXPECT_EQ(s.Notes.back(), "1905 more values of the JSON area are not shown");
}

TEST(LuksHeaderTest, ThePrimaryGoneTheSecondaryServes) {
  // The first sectors overwritten: the secondary is found at the place its size allows.
  std::vector<uint8_t> volume(1 << 20, 0);
  const std::vector<uint8_t> secondary = Header(16384, 16384, kJson, true);
  std::copy(secondary.begin(), secondary.end(), volume.begin() + 16384);
  const luks::VolumeState state = luks::ReadLuks([&](uint64_t byte, std::span<uint8_t> out) {
    if (byte > volume.size() || out.size() > volume.size() - byte) return false;
    std::copy_n(volume.begin() + static_cast<std::ptrdiff_t>(byte), out.size(), out.begin());
    return true;
  });
  EXPECT_EQ(state.Version, 2);
  EXPECT_TRUE(state.SecondaryServes);
  ASSERT_NE(state.InUse(), nullptr);
  EXPECT_EQ(state.InUse()->Byte, 16384u);
  EXPECT_EQ(state.Primary.Fault(), "it has no LUKS2 magic and version");
}

}  // namespace
}  // namespace korvalane
