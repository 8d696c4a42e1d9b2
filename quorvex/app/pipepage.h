// The "USB Device" page's pipe terminal without any window: the two pipe
// lists (filled from the device selected in kvUSB1, the device the pipe pair
// resolves its indexes against) and what checking and unchecking "Active"
// does to kvUSB1 and kvUSBPipePair1. The window puts the lists into ePipeIn
// and ePipeOut and calls ActiveClick from chActiveClick.
//
// Main thread only.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "kvusb.h"
#include "kvusbpipe.h"

namespace quorvex {

// An entry of a pipe list: the pipe's Description and, attached, its index
// in the device's pipe list.
struct TkvPipeEntry {
  std::string Text;
  int Index = -1;
  friend bool operator==(const TkvPipeEntry& a, const TkvPipeEntry& b) {
    return a.Text == b.Text && a.Index == b.Index;
  }
};

struct TkvPipeLists {
  std::vector<TkvPipeEntry> In, Out;
};

// FillPipeLists: every pipe of Device in order, the OUT pipes into Out and
// the IN pipes into In; empty lists without a device.
TkvPipeLists PipeListsOf(const kv::TkvUsbDevice* Device);

// The index attached to entry Entry of List; the list's index error
// ("List index out of bounds (n)") when there is no such entry.
int AttachedIndex(const std::vector<TkvPipeEntry>& List, int Entry);

// Follows kvUSB1's selection: whenever the component reports a new list or
// selection (the device box, the tree, a refresh), the lists are filled again
// and OnListsChanged runs. To be destroyed before kvUSB1 (a member of the
// window goes before the window's components).
class TkvPipePage {
 public:
  TkvPipePage(kv::TkvUSB& Usb, kv::TkvUSBPipePair& Pair);
  ~TkvPipePage();
  TkvPipePage(const TkvPipePage&) = delete;
  TkvPipePage& operator=(const TkvPipePage&) = delete;

  // The lists of kvUSB1's selected device (the page's show event runs it).
  const TkvPipeLists& FillPipeLists();
  std::function<void()> OnListsChanged;
  const TkvPipeLists& Lists() const { return FLists; }

  // chActiveClick with the check box's new state and the selected entries of
  // ePipeIn and ePipeOut (-1: none). Checked: opens kvUSB1, sets the pair's
  // pipes, opens the pair. Unchecked: the pair closes first, then kvUSB1.
  // A step that raises ends the click: the exception goes on to the caller,
  // which sets the check box to CheckedAfterError().
  void ActiveClick(bool Checked, int InEntry, int OutEntry);
  // What the check box shows after a failed click: whether kvUSB1 is open.
  bool CheckedAfterError() const { return FUsb.Active(); }

 private:
  void UsbNotify(kv::TObject* Sender, int Code);

  kv::TkvUSB& FUsb;
  kv::TkvUSBPipePair& FPair;
  TkvPipeLists FLists;
};

}  // namespace quorvex
