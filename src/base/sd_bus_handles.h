// Owning handles for sd-bus objects (Linux): a bus connection flushed and
// closed, a message, a slot, each released on every way out; and an error
// freed likewise.
//
//   sd_bus* opened = nullptr;
//   if (sd_bus_open_system(&opened) < 0) return ...;
//   const SdBus bus(opened);
#pragma once

#include <systemd/sd-bus.h>

#include <memory>
#include <string>

#include "base/os_error.h"

namespace tarnwel {

struct SdBusRelease {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using SdBus = std::unique_ptr<sd_bus, SdBusRelease>;
using SdBusMessage = std::unique_ptr<sd_bus_message, SdBusRelease>;
using SdBusSlot = std::unique_ptr<sd_bus_slot, SdBusRelease>;

// An sd-bus error, freed on every way out.
struct SdBusError {
  sd_bus_error error{};  // SD_BUS_ERROR_NULL, which is a C compound literal
  SdBusError() = default;
  SdBusError(const SdBusError&) = delete;
  SdBusError& operator=(const SdBusError&) = delete;
  ~SdBusError() { sd_bus_error_free(&error); }
  // The error's message, else the text of the call's result `r` (negative).
  std::string text(int r) const {
    return error.message != nullptr ? std::string(error.message) : os_error_text(-r);
  }
};

}  // namespace tarnwel
