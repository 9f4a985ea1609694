#include "platform/posix/udisks/UDisks.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/posix/udisks/SdBus.h"

extern char** environ;

namespace korvalane {
namespace {

constexpr const char* kService = "org.freedesktop.UDisks2";
constexpr const char* kManagerPath = "/org/freedesktop/UDisks2/Manager";
constexpr const char* kManagerInterface = "org.freedesktop.UDisks2.Manager";
constexpr const char* kBlockInterface = "org.freedesktop.UDisks2.Block";

// A bus that has not answered by then is taken as not answering at all.
constexpr uint64_t kAnswerMicroseconds = 5'000'000;
// Someone typing a password into an authentication dialog is given time.
constexpr uint64_t kPasswordMicroseconds = 300'000'000;

// A system-bus connection, closed when it goes out of scope.
class Bus {
 public:
  explicit Bus(const SdBus& calls) : calls_(calls) {
    if (calls_.OpenSystem(&bus_) < 0) bus_ = nullptr;
  }
  ~Bus() {
    if (bus_ != nullptr) calls_.FlushCloseUnref(bus_);
  }
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;
  sd_bus* get() const { return bus_; }

 private:
  const SdBus& calls_;
  sd_bus* bus_ = nullptr;
};

// A reply and the error of one call, both freed when it goes out of scope.
struct Reply {
  explicit Reply(const SdBus& calls) : calls(calls) {}
  ~Reply() {
    if (message != nullptr) calls.MessageUnref(message);
    calls.ErrorFree(&error);
  }
  Reply(const Reply&) = delete;
  Reply& operator=(const Reply&) = delete;
  bool Failed(const char* name) const { return error.name != nullptr && std::strcmp(error.name, name) == 0; }

  const SdBus& calls;
  sd_bus_message* message = nullptr;
  SdBusError error;
  int result = 0;
};

bool ReplyHasString(const SdBus& calls, sd_bus_message* message, const char* type, const char* wanted) {
  if (calls.MessageEnterContainer(message, 'a', type) < 0) return false;
  const char* item = nullptr;
  while (calls.MessageRead(message, type, &item) > 0) {
    if (item != nullptr && std::strcmp(item, wanted) == 0) return true;
  }
  return false;
}

bool AskOffered() {
  const SdBus* calls = LoadSdBus(nullptr);
  if (calls == nullptr) return false;
  const Bus bus(*calls);
  if (bus.get() == nullptr) return false;
  calls->SetMethodCallTimeout(bus.get(), kAnswerMicroseconds);
  {
    Reply reply(*calls);
    reply.result = calls->CallMethod(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                     "NameHasOwner", &reply.error, &reply.message, "s", kService);
    int owned = 0;
    if (reply.result >= 0 && calls->MessageRead(reply.message, "b", &owned) > 0 && owned != 0) return true;
  }
  // Not running now, but the bus starts it on the first call.
  Reply reply(*calls);
  reply.result = calls->CallMethod(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                   "ListActivatableNames", &reply.error, &reply.message, "");
  return reply.result >= 0 && ReplyHasString(*calls, reply.message, "s", kService);
}

// polkit's text agent for this process, asking on this terminal while it runs.
class TextAgent {
 public:
  TextAgent() {
    int notify[2];
    if (pipe2(notify, O_CLOEXEC) != 0) return;
    // pkttyagent closes --notify-fd once it is registered for this process; asking
    // UDisks2 before that would find no agent and be refused. Not --fallback: polkit
    // uses a fallback agent only for a subject in a login session, and a command run
    // from a terminal has asked for the terminal.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, notify[1], 3);
    const std::string process = std::to_string(getpid());
    char program[] = "pkttyagent";
    char processFlag[] = "--process";
    char notifyFlag[] = "--notify-fd";
    char notifyFd[] = "3";
    char* argv[] = {program, processFlag, const_cast<char*>(process.c_str()), notifyFlag, notifyFd, nullptr};
    if (posix_spawnp(&pid_, program, &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(notify[1]);
    if (pid_ > 0) {
      pollfd ready{notify[0], POLLIN, 0};
      char byte = 0;
      while (poll(&ready, 1, static_cast<int>(kAnswerMicroseconds / 1000)) > 0 && read(notify[0], &byte, 1) > 0) {
      }
    }
    close(notify[0]);
  }
  ~TextAgent() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  TextAgent(const TextAgent&) = delete;
  TextAgent& operator=(const TextAgent&) = delete;

 private:
  pid_t pid_ = -1;
};

std::string Seconds(uint64_t microseconds) { return std::to_string(microseconds / 1'000'000) + " seconds"; }

// Why a call failed, in words for the user.
std::string CallFailure(const Reply& reply, uint64_t timeout, const std::string& action) {
  if (reply.result == -ETIMEDOUT || reply.Failed("org.freedesktop.DBus.Error.Timeout") ||
      reply.Failed("org.freedesktop.DBus.Error.NoReply")) {
    return "UDisks2 did not answer within " + Seconds(timeout);
  }
  if (reply.Failed("org.freedesktop.DBus.Error.ServiceUnknown") ||
      reply.Failed("org.freedesktop.DBus.Error.NameHasNoOwner") ||
      (reply.error.name != nullptr && std::strncmp(reply.error.name, "org.freedesktop.DBus.Error.Spawn.", 33) == 0)) {
    return "UDisks2 is not running";
  }
  if (reply.Failed("org.freedesktop.UDisks2.Error.NotAuthorizedDismissed")) return "the authentication was dismissed";
  if (reply.Failed("org.freedesktop.UDisks2.Error.NotAuthorized") ||
      reply.Failed("org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain")) {
    return "not authorized by polkit (" + action + ")";
  }
  if (reply.Failed("org.freedesktop.DBus.Error.UnknownMethod")) {
    return "UDisks2 is too old to open devices (2.7.3 or later opens them)";
  }
  if (reply.error.message != nullptr && reply.error.message[0] != '\0') return "UDisks2: " + std::string(reply.error.message);
  return "UDisks2 could not be asked (" + std::string(std::strerror(reply.result < 0 ? -reply.result : EIO)) + ")";
}

// The descriptor must be the device asked for, read-only: UDisks2 resolves the path
// itself, and a device that was replaced in between (a loop device detached and
// attached to another file) would otherwise be read as if it were the one listed.
std::string CheckDescriptor(int fd, const std::string& path) {
  struct stat got{};
  struct stat wanted{};
  if (fstat(fd, &got) != 0 || !S_ISBLK(got.st_mode)) return "UDisks2 gave a descriptor that is not a block device";
  if (stat(path.c_str(), &wanted) != 0 || got.st_rdev != wanted.st_rdev) {
    return "UDisks2 gave a descriptor of another device";
  }
  const int mode = fcntl(fd, F_GETFL);
  if (mode < 0 || (mode & O_ACCMODE) != O_RDONLY) return "UDisks2 gave a descriptor that is not read-only";
  return {};
}

}  // namespace

bool UDisksOffered() {
  static const bool offered = AskOffered();
  return offered;
}

UDisksDescriptor OpenThroughUDisks(const std::string& path, int flags, UDisksPrompt prompt) {
  UDisksDescriptor result;
  std::string why;
  const SdBus* calls = LoadSdBus(&why);
  if (calls == nullptr) {
    result.Error = "UDisks2 cannot be asked: " + why;
    return result;
  }
  const Bus bus(*calls);
  if (bus.get() == nullptr) {
    result.Error = "UDisks2 is not running";
    return result;
  }

  calls->SetMethodCallTimeout(bus.get(), kAnswerMicroseconds);
  std::string object;
  {
    Reply reply(*calls);
    reply.result = calls->CallMethod(bus.get(), kService, kManagerPath, kManagerInterface, "ResolveDevice",
                                     &reply.error, &reply.message, "a{sv}a{sv}", 1, "path", "s", path.c_str(), 0);
    if (reply.result < 0) {
      result.Error = CallFailure(reply, kAnswerMicroseconds, {});
      return result;
    }
    const char* found = nullptr;
    if (calls->MessageEnterContainer(reply.message, 'a', "o") >= 0 && calls->MessageRead(reply.message, "o", &found) > 0 &&
        found != nullptr) {
      object = found;
    }
  }
  if (object.empty()) {
    result.Error = "UDisks2 does not know the device";
    return result;
  }

  // The machine's own disks ask for the stronger of the two actions.
  std::string action = "org.freedesktop.udisks2.open-device";
  {
    Reply reply(*calls);
    int system = 0;
    if (calls->GetPropertyTrivial(bus.get(), kService, object.c_str(), kBlockInterface, "HintSystem", &reply.error, 'b',
                                  &system) >= 0 &&
        system != 0) {
      action += "-system";
    }
  }

  std::optional<TextAgent> agent;
  if (prompt == UDisksPrompt::Terminal) agent.emplace();
  const uint64_t timeout = prompt == UDisksPrompt::None ? kAnswerMicroseconds : kPasswordMicroseconds;
  calls->SetMethodCallTimeout(bus.get(), timeout);
  Reply reply(*calls);
  const int noInteraction = prompt == UDisksPrompt::None ? 1 : 0;
  if (flags != 0) {
    reply.result = calls->CallMethod(bus.get(), kService, object.c_str(), kBlockInterface, "OpenDevice", &reply.error,
                                     &reply.message, "sa{sv}", "r", 2, "auth.no_user_interaction", "b", noInteraction,
                                     "flags", "i", flags);
  } else {
    reply.result = calls->CallMethod(bus.get(), kService, object.c_str(), kBlockInterface, "OpenDevice", &reply.error,
                                     &reply.message, "sa{sv}", "r", 1, "auth.no_user_interaction", "b", noInteraction);
  }
  if (reply.result < 0) {
    result.Error = CallFailure(reply, timeout, action);
    return result;
  }
  // The descriptor belongs to the reply; a copy of it is kept.
  int handle = -1;
  if (calls->MessageRead(reply.message, "h", &handle) <= 0 || handle < 0) {
    result.Error = "UDisks2 gave no descriptor";
    return result;
  }
  const int fd = fcntl(handle, F_DUPFD_CLOEXEC, 3);
  if (fd < 0) {
    result.Error = "UDisks2's descriptor cannot be kept (" + std::string(std::strerror(errno)) + ")";
    return result;
  }
  result.Error = CheckDescriptor(fd, path);
  if (!result.Error.empty()) {
    close(fd);
    return result;
  }
  result.Fd = fd;
  return result;
}

}  // namespace korvalane
