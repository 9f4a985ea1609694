#include "platform/posix/udisks/SdBus.h"

#include <dlfcn.h>

namespace korvalane {
namespace {

template <typename Function>
bool Bind(void* library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(dlsym(library, name));
  return function != nullptr;
}

struct Loaded {
  SdBus Calls{};
  bool Ok = false;
  std::string Why;
};

Loaded Load() {
  Loaded loaded;
  // RTLD_LOCAL: its symbols serve only these pointers. The library stays loaded for the
  // program's life, as descriptors and messages it made may outlive any one call.
  void* library = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* error = dlerror();
    loaded.Why = "libsystemd.so.0 cannot be loaded" + (error != nullptr ? ": " + std::string(error) : std::string());
    return loaded;
  }
  SdBus& c = loaded.Calls;
  // sd_bus_call_method_async is the newest of them (systemd 222, 2015).
  loaded.Ok = Bind(library, "sd_bus_open_system", c.OpenSystem) &&
              Bind(library, "sd_bus_close", c.Close) && Bind(library, "sd_bus_unref", c.Unref) &&
              Bind(library, "sd_bus_slot_unref", c.SlotUnref) &&
              Bind(library, "sd_bus_call_method_async", c.CallMethodAsync) &&
              Bind(library, "sd_bus_process", c.Process) && Bind(library, "sd_bus_wait", c.Wait) &&
              Bind(library, "sd_bus_message_get_error", c.MessageGetError) &&
              Bind(library, "sd_bus_message_read", c.MessageRead) &&
              Bind(library, "sd_bus_message_enter_container", c.MessageEnterContainer) &&
              Bind(library, "sd_bus_message_ref", c.MessageRef) &&
              Bind(library, "sd_bus_message_unref", c.MessageUnref);
  if (!loaded.Ok) loaded.Why = "libsystemd.so.0 is older than systemd 222";
  return loaded;
}

}  // namespace

const SdBus* LoadSdBus(std::string* why) {
  static const Loaded loaded = Load();
  if (!loaded.Ok && why != nullptr) *why = loaded.Why;
  return loaded.Ok ? &loaded.Calls : nullptr;
}

}  // namespace korvalane
