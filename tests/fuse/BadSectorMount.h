#pragma once

// korvalane-badsectorfs mounted over an image for one test: its disk.img fails every
// read that touches the bad byte ranges with EIO. Where the helper was not built or the
// machine refuses FUSE, Mount says why, for the test's GTEST_SKIP.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace korvalane::testing {

class BadSectorMount {
 public:
  struct Range {
    uint64_t Offset;
    uint64_t Length;
  };

  explicit BadSectorMount(const std::filesystem::path& dir) : dir_(dir) {
    std::filesystem::create_directories(dir_ / "mnt");
  }
  ~BadSectorMount() {
    if (helper_ > 0) {
      kill(helper_, SIGTERM);
      int status = 0;
      waitpid(helper_, &status, 0);
    }
    // The mount goes with the helper (auto_unmount); a lazy unmount covers one that
    // could not clean up.
    for (int i = 0; i < 100 && IsMounted(); ++i) {
      Unmount();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  BadSectorMount(const BadSectorMount&) = delete;
  BadSectorMount& operator=(const BadSectorMount&) = delete;

  // The file with the faults.
  std::filesystem::path File() const { return dir_ / "mnt" / "disk.img"; }

  // Mounts `image` with reads of `bad` failing; empty when mounted, else why not.
  std::string Mount(const std::filesystem::path& image, const std::vector<Range>& bad) {
#ifndef KORVALANE_BADSECTORFS_PATH
    (void)image;
    (void)bad;
    return "the FUSE helper korvalane-badsectorfs was not built (libfuse3 not found when configuring)";
#else
    if (access("/dev/fuse", R_OK | W_OK) != 0) return "this machine has no usable /dev/fuse";
    std::vector<std::string> argv{KORVALANE_BADSECTORFS_PATH, image.string(), (dir_ / "mnt").string()};
    for (const Range& range : bad) {
      argv.push_back("--bad");
      argv.push_back(std::to_string(range.Offset) + ":" + std::to_string(range.Length));
    }
    std::vector<char*> pointers;
    for (std::string& arg : argv) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    const std::string log = (dir_ / "badsectorfs.log").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int spawned = posix_spawn(&helper_, pointers[0], &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      helper_ = -1;
      return "could not start korvalane-badsectorfs";
    }
    for (int i = 0; i < 1000; ++i) {
      struct stat st{};
      if (stat(File().c_str(), &st) == 0 && static_cast<uintmax_t>(st.st_size) == std::filesystem::file_size(image)) {
        return {};
      }
      int status = 0;
      if (waitpid(helper_, &status, WNOHANG) == helper_) {
        helper_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    return "this machine refuses the FUSE mount: " + text.str();
#endif
  }

 private:
  bool IsMounted() const {
    struct stat mount{};
    struct stat parent{};
    return stat((dir_ / "mnt").c_str(), &mount) != 0 || stat(dir_.c_str(), &parent) != 0 ||
           mount.st_dev != parent.st_dev;
  }
  void Unmount() const {
    pid_t pid = -1;
    std::string umount = "umount", lazy = "-l", target = (dir_ / "mnt").string();
    char* argv[] = {umount.data(), lazy.data(), target.data(), nullptr};
    if (posix_spawnp(&pid, "umount", nullptr, nullptr, argv, environ) != 0) return;
    int status = 0;
    waitpid(pid, &status, 0);
  }

  std::filesystem::path dir_;
  pid_t helper_ = -1;
};

}  // namespace korvalane::testing
