#include "core/Platform.h"

#include <algorithm>

namespace korvalane {
namespace {

// Used until a real platform is set: no drives, every read refused.
class NoPlatform final : public Platform {
 public:
  bool ReadVolume(std::string_view, uint64_t, std::span<uint8_t> buffer) override {
    std::fill(buffer.begin(), buffer.end(), uint8_t{0});
    return false;
  }
  std::optional<std::string> FileSystemName(std::string_view) override { return std::nullopt; }
  uint32_t LogicalDrives() override { return 0; }
  int64_t VolumeTotalBytes(std::string_view) override { return -1; }
  bool IsDriveAccessible(std::string_view) override { return false; }
  std::string DriveSource(std::string_view) override { return {}; }
  std::optional<CivilTime> FileTimeToLocal(uint64_t) override { return std::nullopt; }
  std::u16string FormatDateTime(const CivilTime&) override { return {}; }
  bool OpenLink(std::string_view) override { return false; }
};

NoPlatform noPlatform;
Platform* current = &noPlatform;

}  // namespace

Platform& CurrentPlatform() { return *current; }

void SetPlatform(Platform* platform) { current = platform != nullptr ? platform : &noPlatform; }

}  // namespace korvalane
