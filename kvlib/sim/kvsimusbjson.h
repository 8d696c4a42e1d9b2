// The "usb" section of a machine description (docs/machine-description.md).
// Only the description loader includes this: it brings in the JSON library.
#pragma once

#include <nlohmann/json.hpp>

#include "kvsimmachine.h"

namespace kv {

// Builds the buses the section describes. Throws std::runtime_error naming the
// place of a fault.
void LoadUsbDescription(TkvSimMachine& machine, const nlohmann::json& usb);

}  // namespace kv
