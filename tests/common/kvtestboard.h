// A USB board on a simulated machine, as the component and driver tests set
// it up: its devnode in the USB class and the device that port 1 of the root
// hub of host controller 0 (two ports) reports.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "kvtext.h"
#include "sim/kvsimmachine.h"
#include "sim/kvsimusb.h"

namespace kv::test {

inline constexpr const char* kUsbClass = "{36FC9E60-C465-11CF-8056-444553540000}";

// Adds the board; spec's class is the USB class. The controller's driver key
// is controllerKey.
inline TkvSimDevnode& AddBoard(TkvSimMachine& machine, TkvSimUsb& usb, TkvSimMachine::DevnodeSpec spec,
                               const TkvSimUsbDevice& device, const std::string& controllerKey = "") {
  EXPECT_TRUE(TextToGuid(kUsbClass, spec.ClassGuid));
  TkvSimDevnode& node = machine.AddDevnode(spec);
  usb.AddController(0, controllerKey).SetRootHub("ROOT#0", 2).Attach(1, device);
  return node;
}

}  // namespace kv::test
