#pragma once

// korvalane-badsectorfs mounted over an image for one test: its disk.img fails every read
// that touches a bad byte range with EIO. Mount says why not where the helper was not
// built or the machine refuses FUSE, for the test's GTEST_SKIP.
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace korvalane::testing {

class BadSectorMount {
 public:
  explicit BadSectorMount(std::filesystem::path dir) : dir_(std::move(dir)) { std::filesystem::create_directories(dir_); }
  ~BadSectorMount() {
    if (helper_ <= 0) return;
    kill(helper_, SIGTERM);  // its mount goes with it (auto_unmount)
    waitpid(helper_, nullptr, 0);
    struct stat mount{}, parent{};
    for (int i = 0; i < 100 && stat(dir_.c_str(), &mount) == 0 && stat(dir_.parent_path().c_str(), &parent) == 0 &&
                    mount.st_dev != parent.st_dev; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  BadSectorMount(const BadSectorMount&) = delete;
  BadSectorMount& operator=(const BadSectorMount&) = delete;

  std::filesystem::path File() const { return dir_ / "disk.img"; }

  // Mounts `image` with `bad` ("OFFSET:LENGTH" in bytes) unreadable; empty once mounted.
  std::string Mount(const std::string& image, const std::vector<std::string>& bad) {
#ifndef KORVALANE_BADSECTORFS_PATH
    (void)image;
    (void)bad;
    return "the FUSE helper korvalane-badsectorfs was not built (libfuse3 not found when configuring)";
#else
    if (access("/dev/fuse", R_OK | W_OK) != 0) return "this machine has no usable /dev/fuse";
    std::vector<std::string> argv{KORVALANE_BADSECTORFS_PATH, image, dir_.string()};
    for (const std::string& range : bad) argv.insert(argv.end(), {"--bad", range});
    std::vector<char*> pointers;
    for (std::string& arg : argv) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    if (posix_spawn(&helper_, pointers[0], nullptr, nullptr, pointers.data(), environ) != 0) helper_ = -1;
    for (int i = 0; i < 500 && helper_ > 0; ++i) {
      std::error_code error;
      if (std::filesystem::file_size(File(), error) == std::filesystem::file_size(image)) return {};
      if (waitpid(helper_, nullptr, WNOHANG) == helper_) helper_ = -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return "this machine refuses the FUSE mount (korvalane-badsectorfs says why above)";
#endif
  }

 private:
  std::filesystem::path dir_;
  pid_t helper_ = -1;
};

}  // namespace korvalane::testing
