#include "platform/posix/udisks/UDisks.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
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

// A system-bus connection, closed when it goes out of scope. Closed without flushing:
// a flush waits for a bus that has not finished authenticating, which is just the bus
// that is not answering.
class Bus {
 public:
  explicit Bus(const SdBus& calls) : calls_(calls) {
    if (calls_.OpenSystem(&bus_) < 0) bus_ = nullptr;
  }
  ~Bus() {
    if (bus_ == nullptr) return;
    calls_.Close(bus_);
    calls_.Unref(bus_);
  }
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;
  sd_bus* get() const { return bus_; }

 private:
  const SdBus& calls_;
  sd_bus* bus_ = nullptr;
};

// The answer to one call: a method return, an error, or none within the time given.
struct Reply {
  explicit Reply(const SdBus& calls) : calls(calls) {}
  ~Reply() {
    if (slot != nullptr) calls.SlotUnref(slot);
    if (message != nullptr) calls.MessageUnref(message);
  }
  Reply(const Reply&) = delete;
  Reply& operator=(const Reply&) = delete;
  bool Failed(const char* name) const { return errorName == name; }
  bool Ok() const { return message != nullptr; }

  const SdBus& calls;
  sd_bus_slot* slot = nullptr;     // the pending call; unref'd, its callback is never run
  sd_bus_message* message = nullptr;  // the method return
  bool answered = false;
  int result = 0;  // the bus's error (< 0), -ETIMEDOUT when the time ran out
  std::string errorName;
  std::string errorMessage;
};

int Answered(sd_bus_message* message, void* userdata, SdBusError*) {
  auto* reply = static_cast<Reply*>(userdata);
  reply->answered = true;
  const SdBusError* error = reply->calls.MessageGetError(message);
  if (error != nullptr && error->name != nullptr) {
    reply->errorName = error->name;
    reply->errorMessage = error->message != nullptr ? error->message : "";
    reply->result = -EIO;
  } else {
    reply->message = reply->calls.MessageRef(message);
  }
  return 1;
}

// Sends a call and runs the connection until its answer comes or `timeout` has passed
// (the connection's own authentication included).
template <typename... Args>
void Call(const SdBus& calls, sd_bus* bus, uint64_t timeout, Reply& reply, const char* destination, const char* path,
          const char* interface, const char* member, const char* types, Args... args) {
  using Clock = std::chrono::steady_clock;
  const int sent = calls.CallMethodAsync(bus, &reply.slot, destination, path, interface, member, &Answered, &reply,
                                         types, args...);
  if (sent < 0) {
    reply.result = sent;
    return;
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::microseconds(timeout);
  while (!reply.answered) {
    const int processed = calls.Process(bus, nullptr);
    if (processed < 0) {
      reply.result = processed;
      return;
    }
    if (processed > 0) continue;
    const Clock::time_point now = Clock::now();
    if (now >= deadline) {
      reply.result = -ETIMEDOUT;
      return;
    }
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now).count();
    const int waited = calls.Wait(bus, static_cast<uint64_t>(left) + 1);
    if (waited < 0 && waited != -EINTR) {
      reply.result = waited;
      return;
    }
  }
}

bool ReplyHasString(const SdBus& calls, sd_bus_message* message, const char* type, const char* wanted) {
  if (calls.MessageEnterContainer(message, 'a', type) < 0) return false;
  const char* item = nullptr;
  while (calls.MessageRead(message, type, &item) > 0) {
    if (item != nullptr && std::strcmp(item, wanted) == 0) return true;
  }
  return false;
}

enum class Offer { No, Yes, Silent };

Offer AskOffered() {
  const SdBus* calls = LoadSdBus(nullptr);
  if (calls == nullptr) return Offer::No;
  const Bus bus(*calls);
  if (bus.get() == nullptr) return Offer::No;
  {
    Reply reply(*calls);
    Call(*calls, bus.get(), kAnswerMicroseconds, reply, "org.freedesktop.DBus", "/org/freedesktop/DBus",
         "org.freedesktop.DBus", "NameHasOwner", "s", kService);
    if (reply.result == -ETIMEDOUT) return Offer::Silent;
    int owned = 0;
    if (reply.Ok() && calls->MessageRead(reply.message, "b", &owned) > 0 && owned != 0) return Offer::Yes;
  }
  // Not running now, but the bus starts it on the first call.
  Reply reply(*calls);
  Call(*calls, bus.get(), kAnswerMicroseconds, reply, "org.freedesktop.DBus", "/org/freedesktop/DBus",
       "org.freedesktop.DBus", "ListActivatableNames", "");
  if (reply.result == -ETIMEDOUT) return Offer::Silent;
  return reply.Ok() && ReplyHasString(*calls, reply.message, "s", kService) ? Offer::Yes : Offer::No;
}

// The bus was asked once; a bus that did not answer then is not waited for again.
Offer Offered() {
  static const Offer offer = AskOffered();
  return offer;
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
      reply.errorName.rfind("org.freedesktop.DBus.Error.Spawn.", 0) == 0) {
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
  if (!reply.errorMessage.empty()) return "UDisks2: " + reply.errorMessage;
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

bool UDisksOffered() { return Offered() != Offer::No; }

UDisksDescriptor OpenThroughUDisks(const std::string& path, int flags, UDisksPrompt prompt) {
  UDisksDescriptor result;
  std::string why;
  const SdBus* calls = LoadSdBus(&why);
  if (calls == nullptr) {
    result.Error = "UDisks2 cannot be asked: " + why;
    return result;
  }
  if (Offered() == Offer::Silent) {
    result.Error = "the system bus did not answer within " + Seconds(kAnswerMicroseconds);
    return result;
  }
  const Bus bus(*calls);
  if (bus.get() == nullptr) {
    result.Error = "UDisks2 is not running";
    return result;
  }

  std::string object;
  {
    Reply reply(*calls);
    Call(*calls, bus.get(), kAnswerMicroseconds, reply, kService, kManagerPath, kManagerInterface, "ResolveDevice",
         "a{sv}a{sv}", 1, "path", "s", path.c_str(), 0);
    if (!reply.Ok()) {
      result.Error = CallFailure(reply, kAnswerMicroseconds, {});
      return result;
    }
    const char* found = nullptr;
    if (calls->MessageEnterContainer(reply.message, 'a', "o") >= 0 &&
        calls->MessageRead(reply.message, "o", &found) > 0 && found != nullptr) {
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
    Call(*calls, bus.get(), kAnswerMicroseconds, reply, kService, object.c_str(), "org.freedesktop.DBus.Properties",
         "Get", "ss", kBlockInterface, "HintSystem");
    int system = 0;
    if (reply.Ok() && calls->MessageEnterContainer(reply.message, 'v', "b") >= 0 &&
        calls->MessageRead(reply.message, "b", &system) > 0 && system != 0) {
      action += "-system";
    }
  }

  std::optional<TextAgent> agent;
  if (prompt == UDisksPrompt::Terminal) agent.emplace();
  const uint64_t timeout = prompt == UDisksPrompt::None ? kAnswerMicroseconds : kPasswordMicroseconds;
  const int noInteraction = prompt == UDisksPrompt::None ? 1 : 0;
  Reply reply(*calls);
  if (flags != 0) {
    Call(*calls, bus.get(), timeout, reply, kService, object.c_str(), kBlockInterface, "OpenDevice", "sa{sv}", "r", 2,
         "auth.no_user_interaction", "b", noInteraction, "flags", "i", flags);
  } else {
    Call(*calls, bus.get(), timeout, reply, kService, object.c_str(), kBlockInterface, "OpenDevice", "sa{sv}", "r", 1,
         "auth.no_user_interaction", "b", noInteraction);
  }
  if (!reply.Ok()) {
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
