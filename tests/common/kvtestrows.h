// The console's text of a machine: every node of a refresh with its property
// rows, from a topology of its own. Two machines that show the same text
// replay the same tree and rows (captures, saved descriptions).
#pragma once

#include <string>

#include "kvtreemodel.h"
#include "kvusbman.h"

namespace kv::test {

inline void RenderRows(const TkvTreeNode& node, int depth, std::string& out) {
  out += std::string(static_cast<std::size_t>(depth) * 2, ' ') + node.Text + "\n";
  TkvPropertyRows rows;
  ShowNodeInfo(rows, node.Data);
  for (const TkvPropertyRow& r : rows.Rows()) out += "  - " + r.Caption + ": " + r.Value + "\n";
  for (const TkvTreeNode& child : node.Children) RenderRows(child, depth + 1, out);
}

inline std::string ConsoleRows(TkvMachine& machine, bool descriptors = false) {
  TkvMachineScope scope(machine);
  TkvUSBManager manager;
  manager.RequestDescriptors = descriptors;
  manager.Refresh();
  std::string out;
  for (const TkvTreeNode& root : BuildTopologyTree(manager)) RenderRows(root, 0, out);
  // The topology belongs to this machine; it goes before the scope ends.
  manager.Clear();
  return out;
}

}  // namespace kv::test
