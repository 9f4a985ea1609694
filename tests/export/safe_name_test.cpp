// Names of a volume's files made safe for the folder they are written into.
#include <gtest/gtest.h>

#include <string>

#include "core/extract/SafeName.h"

namespace korvalane {
namespace {

TEST(SafeName, EscapesWhatWouldLeaveTheFolderOrCannotBeAName) {
  struct Case {
    std::string Name;
    NameRules Rules;
    std::string Safe;
    bool Changed;
  };
  const Case cases[] = {
      {"report.txt", NameRules::Posix, "report.txt", false},
      {"Отчёт за май.txt", NameRules::Posix, "Отчёт за май.txt", false},
      {"..", NameRules::Posix, "%2E%2E", true},
      {".", NameRules::Posix, "%2E", true},
      {"...", NameRules::Posix, "...", false},
      {"a/b", NameRules::Posix, "a%2Fb", true},
      {"../../etc/passwd", NameRules::Posix, "..%2F..%2Fetc%2Fpasswd", true},
      {std::string("a\0b", 3), NameRules::Posix, "a%00b", true},
      {"bell\x07\x1b[31m", NameRules::Posix, "bell%07%1B[31m", true},
      {"del\x7f", NameRules::Posix, "del%7F", true},
      {"", NameRules::Posix, "%00", true},
      // Backslashes and colons are names' own characters on Linux, not on Windows.
      {"a\\b:c", NameRules::Posix, "a\\b:c", false},
      {"a\\b:c", NameRules::Windows, "a%5Cb%3Ac", true},
      {"what?*<>|\"", NameRules::Windows, "what%3F%2A%3C%3E%7C%22", true},
      {"CON", NameRules::Windows, "_CON", true},
      {"con.txt", NameRules::Windows, "_con.txt", true},
      {"LPT9.log", NameRules::Windows, "_LPT9.log", true},
      {"COM10", NameRules::Windows, "COM10", false},
      {"CON", NameRules::Posix, "CON", false},
      {"name.", NameRules::Windows, "name%2E", true},
      {"name ", NameRules::Windows, "name%20", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const SafeName safe = MakeSafeName(c.Name, c.Rules);
    EXPECT_EQ(safe.Name, c.Safe);
    EXPECT_EQ(!safe.Why.empty(), c.Changed);
  }
}

TEST(SafeName, ALongNameIsCutAtACharacterKeepingItsExtension) {
  // 255 UTF-16 units of Cyrillic are 510 bytes of UTF-8.
  std::string name;
  for (int i = 0; i < 251; ++i) name += "ж";
  name += ".txt";
  const SafeName safe = MakeSafeName(name, NameRules::Posix);
  EXPECT_LE(safe.Name.size(), kMaxNameBytes);
  EXPECT_TRUE(safe.Name.ends_with("ж.txt")) << safe.Name;
  EXPECT_FALSE(safe.Why.empty());
  const std::string numbered = NumberedName(safe.Name, 4294967295u);
  EXPECT_LE(numbered.size(), kMaxNameBytes);
  EXPECT_TRUE(numbered.ends_with(" (4294967295).txt")) << numbered;
}

TEST(SafeName, NumberedNamesGoBeforeTheExtension) {
  EXPECT_EQ(NumberedName("report.txt", 2), "report (2).txt");
  EXPECT_EQ(NumberedName("README", 3), "README (3)");
  EXPECT_EQ(NumberedName(".profile", 2), ".profile (2)");
}

}  // namespace
}  // namespace korvalane
