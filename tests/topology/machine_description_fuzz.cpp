// Fuzz target: any bytes as a machine description. The loader either refuses
// them with its own message (std::runtime_error) or builds a machine, on which
// a whole refresh runs, followed by what the browser does with the result
// (tree, rows, strings re-read) and a class enumeration of the setup layer.
// Nothing may crash, hang, overflow the stack or throw anything else.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "kvframework.h"
#include "kvsetupapi.h"
#include "kvtreemodel.h"
#include "kvusbman.h"
#include "sim/kvsimmachine.h"

namespace {

void Visit(const kv::TkvTreeNode& node) {
  kv::TkvPropertyRows rows;
  kv::ShowNodeInfo(rows, node.Data);
  if (kv::NodeKind(node.Data) == kv::TkvNodeKind::Device) static_cast<kv::TkvUsbDevice*>(node.Data)->ReadStrings();
  for (const kv::TkvTreeNode& child : node.Children) Visit(child);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::unique_ptr<kv::TkvSimMachine> machine;
  try {
    machine = kv::TkvSimMachine::FromJson(std::string(reinterpret_cast<const char*>(data), size));
  } catch (const std::runtime_error&) {
    return 0;  // refused with a message: what a malformed description gets
  }
  machine->Dump();
  kv::TkvMachineScope scope(*machine);
  {
    kv::TkvUSBManager manager;
    manager.RequestDescriptors = size % 2 == 0;
    manager.Refresh();
    for (const kv::TkvTreeNode& root : kv::BuildTopologyTree(manager)) Visit(root);
  }
  kv::GUID usb{};
  kv::TextToGuid("{36FC9E60-C465-11CF-8056-444553540000}", usb);
  kv::TStringList records(true);
  kv::EnumDevices(&usb, true, true, true, records);
  return 0;
}
