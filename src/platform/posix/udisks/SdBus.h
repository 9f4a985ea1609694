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

struct sd_bus_slot;
using SdBusHandler = int (*)(sd_bus_message* message, void* userdata, SdBusError* error);

// Calls are made asynchronously and awaited in a loop of our own, with a deadline: sd-bus's
// own blocking calls wait out its authentication time-out (90 s) on a bus that accepts a
// connection and then says nothing.
struct SdBus {
  int (*OpenSystem)(sd_bus** bus);
  void (*Close)(sd_bus* bus);
  sd_bus* (*Unref)(sd_bus* bus);
  sd_bus_slot* (*SlotUnref)(sd_bus_slot* slot);
  int (*CallMethodAsync)(sd_bus* bus, sd_bus_slot** slot, const char* destination, const char* path,
                         const char* interface, const char* member, SdBusHandler callback, void* userdata,
                         const char* types, ...);
  int (*Process)(sd_bus* bus, sd_bus_message** message);
  int (*Wait)(sd_bus* bus, uint64_t timeoutMicroseconds);
  const SdBusError* (*MessageGetError)(sd_bus_message* message);
  int (*MessageRead)(sd_bus_message* message, const char* types, ...);
  int (*MessageEnterContainer)(sd_bus_message* message, char type, const char* contents);
  sd_bus_message* (*MessageRef)(sd_bus_message* message);
  sd_bus_message* (*MessageUnref)(sd_bus_message* message);
};

// libsystemd's calls, loaded once; nothing when it cannot be loaded (`why` says why).
const SdBus* LoadSdBus(std::string* why);

}  // namespace korvalane
