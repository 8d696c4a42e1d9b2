// What the browser shows of the USB topology, independent of any window: the
// tree (node texts, shape, the object behind each node) and the property rows
// of the selected node. The main window fills its tree view and list view
// from these; the console front end prints them.
//
// Node data are borrowed topology objects: they die at the next Refresh of
// the manager, and so does every tree built from it.
#pragma once

#include <string>
#include <vector>

#include "kvusbman.h"

namespace kv {

// Classes of the nodes, tested in this order (a hub is also a device).
enum class TkvNodeKind { None, Host, Hub, Port, Device, Pipe };
TkvNodeKind NodeKind(const TObject* data);

struct TkvTreeNode {
  std::string Text;
  TObject* Data = nullptr;  // the host, hub, port, device or pipe shown
  std::vector<TkvTreeNode> Children;
};

// One root per host: host -> its hubs -> their ports in port order -> the
// attached hub (recursively) or device -> one node per pipe.
std::vector<TkvTreeNode> BuildTopologyTree(const TkvUSBManager& manager);
// The ports of Hub below Node, with what is attached to them.
void AddHubPorts(TkvTreeNode& node, TkvUsbHub& hub);
// "Pipe (Endpoint) #" and the pipe's 1-based number.
std::string PipeNodeText(int pipeIndex);

struct TkvPropertyRow {
  std::string Caption;
  std::string Value;
};

// The rows of the property list. AddRow leaves out a row whose value is empty
// once blanks are trimmed; the value it keeps is untrimmed.
class TkvPropertyRows {
 public:
  void AddRow(const std::string& Caption, const std::string& Value);
  void Clear() { FRows.clear(); }
  const std::vector<TkvPropertyRow>& Rows() const { return FRows; }

 private:
  std::vector<TkvPropertyRow> FRows;
};

void ShowHostInfo(TkvPropertyRows& rows, const TkvUsbHost& host);
void ShowHubInfo(TkvPropertyRows& rows, const TkvUsbHub& hub);
void ShowPortInfo(TkvPropertyRows& rows, const TkvUsbPort& port);
void ShowDeviceInfo(TkvPropertyRows& rows, const TkvUsbDevice& device);
void ShowPipeInfo(TkvPropertyRows& rows, const TkvUsbPipe& pipe);
// The rows of whatever node data is (nothing for nullptr or another class).
void ShowNodeInfo(TkvPropertyRows& rows, const TObject* data);

// Texts of the rows: "True"/"False", and an id as four upper-case hex digits
// followed by "h".
std::string BoolText(bool value);
std::string UsbIdText(WORD id);

}  // namespace kv
