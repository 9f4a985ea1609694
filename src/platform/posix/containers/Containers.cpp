#include "platform/posix/containers/Containers.h"
#include "platform/posix/PreadFully.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

#include "platform/posix/containers/EwfSource.h"
#include "platform/posix/containers/QcowSource.h"
#include "platform/posix/containers/SplitRawSource.h"
#include "platform/posix/containers/VhdiSource.h"
#include "platform/posix/containers/VmdkSource.h"

namespace korvalane {
namespace {

constexpr size_t kHeadBytes = 512;
constexpr size_t kVhdFooterBytes = 512;

struct Signature {
  std::string_view Bytes;
  ContainerKind Kind;
};

// Signatures at byte 0.
constexpr Signature kHeadSignatures[] = {
    {{"EVF\x09\x0D\x0A\xFF\x00", 8}, ContainerKind::Ewf},   // EWF version 1: E01, s01
    {{"LVF\x09\x0D\x0A\xFF\x00", 8}, ContainerKind::Ewf},   // EWF version 1, logical: L01
    {{"EVF2\x0D\x0A\x81\x00", 8}, ContainerKind::Ewf},      // EWF version 2: Ex01
    {{"LEF2\x0D\x0A\x81\x00", 8}, ContainerKind::Ewf},      // EWF version 2, logical: Lx01
    {"KDMV", ContainerKind::Vmdk},                          // VMDK sparse extent
    {"COWD", ContainerKind::Vmdk},                          // VMware ESX sparse extent
    {"# Disk DescriptorFile", ContainerKind::Vmdk},         // VMDK text descriptor
    {"vhdxfile", ContainerKind::Vhdi},                      // VHDX file type identifier
    {"conectix", ContainerKind::Vhdi},                      // VHD footer copy of a dynamic disk
    {{"QFI\xFB", 4}, ContainerKind::Qcow},                  // QCOW, every version
};

bool StartsWith(std::span<const uint8_t> bytes, std::string_view signature) {
  return bytes.size() >= signature.size() &&
         std::equal(signature.begin(), signature.end(), bytes.begin(),
                    [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; });
}

}  // namespace

ContainerKind RecognizeContainer(std::span<const uint8_t> head, std::span<const uint8_t> tail) {
  for (const Signature& signature : kHeadSignatures) {
    if (StartsWith(head, signature.Bytes)) return signature.Kind;
  }
  // A fixed VHD is the raw disk with a 512-byte footer after it, and only there.
  if (tail.size() == kVhdFooterBytes && StartsWith(tail, "conectix")) return ContainerKind::Vhdi;
  return ContainerKind::None;
}

std::shared_ptr<Source> OpenContainer(const std::string& path, uint32_t imageSectorSize) {
  std::array<uint8_t, kHeadBytes> head{};
  std::array<uint8_t, kVhdFooterBytes> tail{};
  size_t headBytes = 0;
  bool hasTail = false;
  {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      close(fd);
      return nullptr;
    }
    const auto size = static_cast<uint64_t>(st.st_size);
    headBytes = static_cast<size_t>(std::min<uint64_t>(size, kHeadBytes));
    if (!PreadFully(fd, 0, std::span(head).first(headBytes))) headBytes = 0;
    hasTail = size >= kVhdFooterBytes && PreadFully(fd, size - kVhdFooterBytes, tail);
    close(fd);
  }

  switch (RecognizeContainer(std::span(head).first(headBytes), hasTail ? std::span<const uint8_t>(tail)
                                                                       : std::span<const uint8_t>())) {
    case ContainerKind::Ewf: return std::make_shared<EwfSource>(path, imageSectorSize);
    case ContainerKind::Vmdk: return std::make_shared<VmdkSource>(path, imageSectorSize);
    case ContainerKind::Vhdi: return std::make_shared<VhdiSource>(path, imageSectorSize);
    case ContainerKind::Qcow: return std::make_shared<QcowSource>(path, imageSectorSize);
    case ContainerKind::None: break;
  }
  // Numbered names make a split raw set only when the first file is named.
  SplitRawSet set = FindSplitRawSet(path);
  if (set.Segments.empty()) return nullptr;
  return std::make_shared<SplitRawSource>(path, std::move(set.Segments), set.Missing, imageSectorSize);
}

}  // namespace korvalane
