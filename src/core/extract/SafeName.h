#pragma once

#include <string>
#include <string_view>

namespace korvalane {

// Which system's rules a name written into the destination must keep.
enum class NameRules {
  Posix,    // no "/", no NUL, not "." or "..", at most 255 bytes
  Windows,  // also none of \ : * ? " < > |, no trailing dot or blank, no CON, PRN, AUX, NUL, COM1-9, LPT1-9
};

// The rules of the system this program was built for.
NameRules HostNameRules();

// The most bytes a name may have in a folder.
inline constexpr size_t kMaxNameBytes = 255;

struct SafeName {
  std::string Name;  // what is written (UTF-8)
  std::string Why;   // what was changed and why; empty when the name is kept as it is
};

// A file's name (UTF-8, as its file system stores it) as one part of a path in the
// destination: whatever would leave the folder or could not be a name there is escaped
// as %XX of its byte ("a/b" is "a%2Fb", ".." is "%2E%2E"), control characters too; an
// empty name is "%00"; a Windows device name gets a "_" in front; a name longer than
// kMaxNameBytes is cut (at a character's start) before its extension.
SafeName MakeSafeName(std::string_view name, NameRules rules);

// `name` with " (N)" before its extension: "report (2).txt".
std::string NumberedName(std::string_view name, unsigned number);

}  // namespace korvalane
