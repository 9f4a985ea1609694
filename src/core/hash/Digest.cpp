#include "core/hash/Digest.h"

#include <variant>

#ifdef KORVALANE_HAVE_NETTLE
#include <nettle/md5.h>
#include <nettle/sha1.h>
#include <nettle/sha2.h>
#endif

namespace korvalane {

std::string_view DigestName(DigestKind kind) {
  switch (kind) {
    case DigestKind::Md5:
      return "MD5";
    case DigestKind::Sha1:
      return "SHA1";
    case DigestKind::Sha256:
      return "SHA256";
  }
  return {};
}

std::string DigestLine(DigestKind kind, std::string_view what, std::string_view hex) {
  // sha256sum -c reads a line at a time, so a name holding a newline (or a carriage
  // return, which a line's end may lose) is written escaped, as sha256sum --tag writes it:
  // the line then starts with a backslash, and \n, \r and \\ (the backslash itself, now
  // an escape) stand for those characters. Any other name is written as it is.
  const bool escaped = what.find_first_of("\\\n\r") != std::string_view::npos;
  std::string line = escaped ? "\\" : "";
  line += DigestName(kind);
  line += " (";
  for (const char c : what) {
    switch (c) {
      case '\\':
        line += "\\\\";
        break;
      case '\n':
        line += "\\n";
        break;
      case '\r':
        line += "\\r";
        break;
      default:
        line += c;
    }
  }
  line += ") = ";
  line += hex;
  return line;
}

std::string HexBytes(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const uint8_t b : bytes) {
    hex += kDigits[b >> 4];
    hex += kDigits[b & 0x0F];
  }
  return hex;
}

#ifdef KORVALANE_HAVE_NETTLE

bool DigestsAvailable() { return true; }

// Nettle's contexts are plain structs; its SHA-1 and SHA-256 use the processor's SHA
// instructions where it has them.
struct Digest::State {
  std::variant<md5_ctx, sha1_ctx, sha256_ctx> Context;
};

namespace {

void Start(DigestKind kind, std::variant<md5_ctx, sha1_ctx, sha256_ctx>& context) {
  switch (kind) {
    case DigestKind::Md5:
      md5_init(&context.emplace<md5_ctx>());
      break;
    case DigestKind::Sha1:
      sha1_init(&context.emplace<sha1_ctx>());
      break;
    case DigestKind::Sha256:
      sha256_init(&context.emplace<sha256_ctx>());
      break;
  }
}

}  // namespace

Digest::Digest(DigestKind kind) : kind_(kind), state_(std::make_unique<State>()) { Start(kind, state_->Context); }

Digest::~Digest() = default;

void Digest::Update(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return;
  std::visit(
      [&](auto& context) {
        using Context = std::decay_t<decltype(context)>;
        if constexpr (std::is_same_v<Context, md5_ctx>) {
          md5_update(&context, bytes.size(), bytes.data());
        } else if constexpr (std::is_same_v<Context, sha1_ctx>) {
          sha1_update(&context, bytes.size(), bytes.data());
        } else {
          sha256_update(&context, bytes.size(), bytes.data());
        }
      },
      state_->Context);
}

std::string Digest::Hex() {
  uint8_t out[SHA256_DIGEST_SIZE] = {};
  size_t size = 0;
  std::visit(
      [&](auto& context) {
        using Context = std::decay_t<decltype(context)>;
        if constexpr (std::is_same_v<Context, md5_ctx>) {
          size = MD5_DIGEST_SIZE;
          md5_digest(&context, size, out);
        } else if constexpr (std::is_same_v<Context, sha1_ctx>) {
          size = SHA1_DIGEST_SIZE;
          sha1_digest(&context, size, out);
        } else {
          size = SHA256_DIGEST_SIZE;
          sha256_digest(&context, size, out);
        }
      },
      state_->Context);
  return HexBytes(std::span<const uint8_t>(out, size));
}

#else

bool DigestsAvailable() { return false; }

struct Digest::State {};

Digest::Digest(DigestKind kind) : kind_(kind) {}
Digest::~Digest() = default;
void Digest::Update(std::span<const uint8_t>) {}
std::string Digest::Hex() { return {}; }

#endif

}  // namespace korvalane
