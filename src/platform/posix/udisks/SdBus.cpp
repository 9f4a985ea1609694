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
  // sd_bus_set_method_call_timeout is the newest of them (systemd 240, 2018).
  loaded.Ok = Bind(library, "sd_bus_open_system", c.OpenSystem) &&
              Bind(library, "sd_bus_flush_close_unref", c.FlushCloseUnref) &&
              Bind(library, "sd_bus_set_method_call_timeout", c.SetMethodCallTimeout) &&
              Bind(library, "sd_bus_call_method", c.CallMethod) &&
              Bind(library, "sd_bus_get_property_trivial", c.GetPropertyTrivial) &&
              Bind(library, "sd_bus_message_read", c.MessageRead) &&
              Bind(library, "sd_bus_message_enter_container", c.MessageEnterContainer) &&
              Bind(library, "sd_bus_message_unref", c.MessageUnref) &&
              Bind(library, "sd_bus_error_free", c.ErrorFree);
  if (!loaded.Ok) loaded.Why = "libsystemd.so.0 is older than systemd 240";
  return loaded;
}

}  // namespace

const SdBus* LoadSdBus(std::string* why) {
  static const Loaded loaded = Load();
  if (!loaded.Ok && why != nullptr) *why = loaded.Why;
  return loaded.Ok ? &loaded.Calls : nullptr;
}

}  // namespace korvalane
