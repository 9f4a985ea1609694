#pragma once

#include <cstdint>
#include <string>

// The few calls of sd-bus (libsystemd's D-Bus client) that asking UDisks2 for a
// descriptor needs. libsystemd is loaded with dlopen on first need rather than linked:
// korvalane-cli is a static binary whose start-up is most of what a one-sector command
// costs, and only a user who may not read a disk ever needs the system bus.

struct sd_bus;
struct sd_bus_message;

namespace korvalane {

// sd-bus's error record; its layout is part of libsystemd's stable ABI.
struct SdBusError {
  const char* name = nullptr;
  const char* message = nullptr;
  int needFree = 0;
};

struct SdBus {
  int (*OpenSystem)(sd_bus** bus);
  sd_bus* (*FlushCloseUnref)(sd_bus* bus);
  int (*SetMethodCallTimeout)(sd_bus* bus, uint64_t usec);
  int (*CallMethod)(sd_bus* bus, const char* destination, const char* path, const char* interface,
                    const char* member, SdBusError* error, sd_bus_message** reply, const char* types, ...);
  int (*GetPropertyTrivial)(sd_bus* bus, const char* destination, const char* path, const char* interface,
                            const char* member, SdBusError* error, char type, void* value);
  int (*MessageRead)(sd_bus_message* message, const char* types, ...);
  int (*MessageEnterContainer)(sd_bus_message* message, char type, const char* contents);
  sd_bus_message* (*MessageUnref)(sd_bus_message* message);
  void (*ErrorFree)(SdBusError* error);
};

// libsystemd's calls, loaded once; nothing when it cannot be loaded (`why` says why).
const SdBus* LoadSdBus(std::string* why);

}  // namespace korvalane
