// korvalane-cli verify: the hashes an EnCase image stores against those of its media, as
// ewfverify compares them.
#include <cstdio>
#include <iostream>
#include <string>

#include "cli/Cli.h"

#ifndef _WIN32
#include "platform/posix/EwfVerify.h"
#endif

namespace korvalane::cli {

int RunVerify(const Arguments& arguments) {
  if (arguments.Positional.size() != 1) return UsageError("verify needs SOURCE.E01 (try --help)");
#ifdef _WIN32
  return UsageError("verify: EnCase images are not read in the Windows build");
#else
  const std::string& source = arguments.Positional[0];
  // The source is opened as every source is first, so that a missing segment file or a
  // file that is no EnCase image is named as the other commands name it.
  const std::unique_ptr<Platform> platform = UsePlatform({source}, arguments);
  const std::string drive = FirstDrive();
  // The drive list names the container's format: "disk.E01 (EWF, 4 segments)".
  if (drive.empty() || CurrentPlatform().DriveDescription(drive).find(" (EWF") == std::string::npos) {
    return UsageError("verify: '" + source + "' is not an EnCase image (E01)");
  }

  const bool showProgress = IsTerminal(stderr);
  int shown = -1;
  const EwfVerification result = VerifyEwfImage(source, [&](uint64_t done, uint64_t total) {
    if (!showProgress || total == 0) return;
    const int percent = static_cast<int>(done * 100 / total);
    if (percent == shown) return;
    shown = percent;
    std::fprintf(stderr, "\r%d%%", percent);
    std::fflush(stderr);
  });
  if (showProgress) std::fputs("\r    \r", stderr);
  if (!result.Error.empty()) {
    std::cerr << "korvalane-cli: verify: '" << source << "': " << result.Error << '\n';
    return kFailure;
  }

  const auto stored = [](const std::string& hex) { return hex.empty() ? std::string("N/A") : hex; };
  std::cout << "MD5 hash stored in file:\t\t" << stored(result.StoredMd5) << '\n'
            << "MD5 hash calculated over data:\t\t" << result.Md5 << '\n';
  if (!result.StoredSha1.empty()) {
    std::cout << "SHA1 hash stored in file:\t\t" << result.StoredSha1 << '\n'
              << "SHA1 hash calculated over data:\t\t" << result.Sha1 << '\n';
  }
  for (const EwfVerification::BadChunk& bad : result.BadChunks) {
    std::cout << "chunk " << bad.Chunk << " failed its checksum: sectors " << bad.FirstSector << "-"
              << bad.FirstSector + bad.Sectors - 1 << " (" << bad.Sectors << (bad.Sectors == 1 ? " sector)" : " sectors)")
              << '\n';
  }
  const bool verified = result.Verified();
  std::cout << "verify: " << (verified ? "SUCCESS" : "FAILURE") << '\n';
  std::cout.flush();
  return verified ? kOk : kFailure;
#endif
}

}  // namespace korvalane::cli
