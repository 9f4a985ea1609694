// korvalane-badsectorfs: a FUSE file system of one read-only file, disk.img, whose bytes
// are those of an image file, except that every read touching a chosen byte range fails
// with EIO, as a disk with bad sectors answers. The tests read it directly and through a
// loop device over it (a block device with real I/O errors).
//
//   korvalane-badsectorfs IMAGE MOUNTPOINT [--bad OFFSET:LENGTH]... [--vanish-after BYTES]
//                         [--direct-io]
//
// --bad may be given many times (decimal byte numbers). --vanish-after ends the process
// abruptly, without answering, on the first read once BYTES have been served: the medium
// is pulled in the middle of a copy, and every later access fails. --direct-io makes the
// kernel hand every read over as asked, without its page cache (otherwise a cached read
// fetches whole pages, and fails for the whole page around a bad byte).
//
// It runs in the foreground, single-threaded, until it is unmounted or gets SIGTERM; the
// mount goes away with the process (auto_unmount).
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kFileName = "/disk.img";

struct Area {
  uint64_t Offset;
  uint64_t Length;
};

struct State {
  int Image = -1;
  uint64_t Size = 0;
  std::vector<Area> Bad;
  bool DirectIo = false;
  bool Vanishes = false;
  uint64_t VanishAfter = 0;
  uint64_t Served = 0;
};

State state;

bool Touches(uint64_t offset, uint64_t length) {
  for (const Area& area : state.Bad) {
    if (offset < area.Offset + area.Length && area.Offset < offset + length) return true;
  }
  return false;
}

int GetAttr(const char* path, struct stat* st, fuse_file_info*) {
  std::memset(st, 0, sizeof *st);
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0555;
    st->st_nlink = 2;
    return 0;
  }
  if (std::strcmp(path, kFileName) != 0) return -ENOENT;
  st->st_mode = S_IFREG | 0444;
  st->st_nlink = 1;
  st->st_size = static_cast<off_t>(state.Size);
  return 0;
}

int ReadDir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
  if (std::strcmp(path, "/") != 0) return -ENOENT;
  fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buffer, kFileName + 1, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  return 0;
}

int Open(const char* path, fuse_file_info* info) {
  if (std::strcmp(path, kFileName) != 0) return -ENOENT;
  if ((info->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
  info->direct_io = state.DirectIo ? 1 : 0;
  return 0;
}

int Read(const char* path, char* buffer, size_t size, off_t offset, fuse_file_info*) {
  if (std::strcmp(path, kFileName) != 0) return -ENOENT;
  if (state.Vanishes && state.Served >= state.VanishAfter) _exit(0);
  if (offset < 0) return -EINVAL;
  const uint64_t start = static_cast<uint64_t>(offset);
  if (start >= state.Size) return 0;
  const size_t length = static_cast<size_t>(std::min<uint64_t>(size, state.Size - start));
  if (Touches(start, length)) return -EIO;
  size_t done = 0;
  while (done < length) {
    const ssize_t got = pread(state.Image, buffer + done, length - done, static_cast<off_t>(start + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return -EIO;
    done += static_cast<size_t>(got);
  }
  state.Served += done;
  return static_cast<int>(done);
}

bool ParseNumber(const char* text, uint64_t& value) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long parsed = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || (*end != '\0' && *end != ':')) return false;
  value = parsed;
  return true;
}

int Usage() {
  std::fprintf(stderr,
               "usage: korvalane-badsectorfs IMAGE MOUNTPOINT [--bad OFFSET:LENGTH]... "
               "[--vanish-after BYTES] [--direct-io]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  state.Image = open(argv[1], O_RDONLY | O_CLOEXEC);
  if (state.Image < 0) {
    std::perror(argv[1]);
    return 1;
  }
  struct stat st{};
  if (fstat(state.Image, &st) != 0) return 1;
  state.Size = static_cast<uint64_t>(st.st_size);
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--direct-io") {
      state.DirectIo = true;
    } else if (arg == "--bad" && i + 1 < argc) {
      const char* value = argv[++i];
      const char* colon = std::strchr(value, ':');
      Area area{};
      if (colon == nullptr || !ParseNumber(value, area.Offset) || !ParseNumber(colon + 1, area.Length)) return Usage();
      state.Bad.push_back(area);
    } else if (arg == "--vanish-after" && i + 1 < argc) {
      if (!ParseNumber(argv[++i], state.VanishAfter)) return Usage();
      state.Vanishes = true;
    } else {
      return Usage();
    }
  }

  fuse_operations operations{};
  operations.getattr = GetAttr;
  operations.readdir = ReadDir;
  operations.open = Open;
  operations.read = Read;
  // Foreground, one thread (the counters need no lock), read-only, and unmounted by
  // fusermount3 when this process ends, however it ends.
  std::string mountPoint = argv[2];
  std::vector<std::string> words{argv[0], mountPoint, "-f", "-s", "-o", "ro,auto_unmount,fsname=korvalane-badsectorfs"};
  std::vector<char*> fuseArgv;
  for (std::string& word : words) fuseArgv.push_back(word.data());
  return fuse_main(static_cast<int>(fuseArgv.size()), fuseArgv.data(), &operations, nullptr);
}
