#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace korvalane {

enum class DigestKind { Md5, Sha1, Sha256 };

// "MD5", "SHA1", "SHA256": the names sha256sum --tag and ewfverify print.
std::string_view DigestName(DigestKind kind);

// False in a build without a digest library (the Windows build has none): every Digest
// then stays empty and its Hex() is empty.
bool DigestsAvailable();

// One running message digest, computed by Nettle.
class Digest {
 public:
  explicit Digest(DigestKind kind);
  ~Digest();
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;

  DigestKind Kind() const { return kind_; }
  void Update(std::span<const uint8_t> bytes);
  // The digest of everything given, in lower-case hexadecimal; the digest starts afresh.
  std::string Hex();

 private:
  struct State;
  DigestKind kind_;
  std::unique_ptr<State> state_;
};

// "SHA256 (what) = hex", the line sha256sum --tag prints: `hash` names a sector range
// with it, an export its file, so that sha256sum -c can check the file. A name with a
// backslash, newline or carriage return is escaped as sha256sum escapes it
// ("\\SHA256 (a\\b\nc) = hex").
std::string DigestLine(DigestKind kind, std::string_view what, std::string_view hex);

// Lower-case hexadecimal of bytes.
std::string HexBytes(std::span<const uint8_t> bytes);

}  // namespace korvalane
