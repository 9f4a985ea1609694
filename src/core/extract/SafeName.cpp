#include "core/extract/SafeName.h"

#include <array>
#include <cstdio>

namespace korvalane {
namespace {

std::string Escape(unsigned char byte) {
  char text[4];
  std::snprintf(text, sizeof text, "%%%02X", static_cast<unsigned>(byte));
  return text;
}

bool WindowsReserved(std::string_view name) {
  // The device name counts whatever extension follows it ("CON.txt" is the console too),
  // and whatever its case.
  const std::string_view stem = name.substr(0, name.find('.'));
  std::string upper;
  for (const char c : stem) upper += c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  while (!upper.empty() && upper.back() == ' ') upper.pop_back();
  static constexpr std::array<std::string_view, 4> kDevices = {"CON", "PRN", "AUX", "NUL"};
  for (const std::string_view device : kDevices) {
    if (upper == device) return true;
  }
  return upper.size() == 4 && (upper.starts_with("COM") || upper.starts_with("LPT")) && upper[3] >= '1' &&
         upper[3] <= '9';
}

// Cuts `name` to at most `limit` bytes, never inside a UTF-8 sequence, keeping an
// extension of up to 16 bytes.
std::string CutName(const std::string& name, size_t limit) {
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || name.size() - dot > 16) dot = name.size();
  const std::string extension = name.substr(dot);
  size_t keep = limit - extension.size();
  while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
  return name.substr(0, keep) + extension;
}

}  // namespace

NameRules HostNameRules() {
#ifdef _WIN32
  return NameRules::Windows;
#else
  return NameRules::Posix;
#endif
}

SafeName MakeSafeName(std::string_view name, NameRules rules) {
  SafeName safe;
  if (name.empty()) return SafeName{"%00", "an empty name"};
  if (name == "." || name == "..") {
    safe.Name = name == "." ? "%2E" : "%2E%2E";
    safe.Why = "a name that would mean a folder itself or its parent";
    return safe;
  }
  bool escaped = false;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    bool bad = byte == '/' || byte < 0x20 || byte == 0x7F;
    if (rules == NameRules::Windows) {
      bad = bad || byte == '\\' || byte == ':' || byte == '*' || byte == '?' || byte == '"' || byte == '<' ||
            byte == '>' || byte == '|';
    }
    if (bad) {
      safe.Name += Escape(byte);
      escaped = true;
    } else {
      safe.Name += c;
    }
  }
  if (escaped) safe.Why = "characters that cannot stand in a name escaped";
  if (rules == NameRules::Windows) {
    if (!safe.Name.empty() && (safe.Name.back() == '.' || safe.Name.back() == ' ')) {
      const auto last = static_cast<unsigned char>(safe.Name.back());
      safe.Name.pop_back();
      safe.Name += Escape(last);
      safe.Why = safe.Why.empty() ? "a trailing dot or blank escaped" : safe.Why;
    }
    if (WindowsReserved(safe.Name)) {
      safe.Name = "_" + safe.Name;
      safe.Why = "a device name of Windows";
    }
  }
  if (safe.Name.size() > kMaxNameBytes) {
    safe.Name = CutName(safe.Name, kMaxNameBytes);
    safe.Why = (safe.Why.empty() ? "" : safe.Why + "; ") + "longer than " + std::to_string(kMaxNameBytes) +
               " bytes, cut";
  }
  return safe;
}

std::string NumberedName(std::string_view name, unsigned number) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) dot = name.size();
  std::string numbered = std::string(name.substr(0, dot)) + " (" + std::to_string(number) + ")" +
                         std::string(name.substr(dot));
  if (numbered.size() > kMaxNameBytes) {
    numbered = CutName(std::string(name), kMaxNameBytes - 16);
    return NumberedName(numbered, number);
  }
  return numbered;
}

}  // namespace korvalane
