#include "pipepage.h"

namespace quorvex {

TkvPipeLists PipeListsOf(const kv::TkvUsbDevice* Device) {
  TkvPipeLists lists;
  if (!Device) return lists;
  for (int i = 0; i < Device->PipeCount(); ++i) {
    const kv::TkvUsbPipe* pipe = Device->GetPipe(i);
    if (!pipe) continue;
    if (pipe->IsOut()) lists.Out.push_back({pipe->Description, i});
    if (pipe->IsIn()) lists.In.push_back({pipe->Description, i});
  }
  return lists;
}

int AttachedIndex(const std::vector<TkvPipeEntry>& List, int Entry) {
  if (Entry < 0 || Entry >= static_cast<int>(List.size()))
    throw kv::EkvException("List index out of bounds (" + std::to_string(Entry) + ")");
  return List[static_cast<std::size_t>(Entry)].Index;
}

TkvPipePage::TkvPipePage(kv::TkvUSB& Usb, kv::TkvUSBPipePair& Pair) : FUsb(Usb), FPair(Pair) {
  FUsb.AddNotify(kv::TOnNotifyEvent(this, &TkvPipePage::UsbNotify));
}

TkvPipePage::~TkvPipePage() { FUsb.RemoveNotify(kv::TOnNotifyEvent(this, &TkvPipePage::UsbNotify)); }

void TkvPipePage::UsbNotify(kv::TObject*, int Code) {
  if (Code != kv::kvNotifyDeviceList) return;
  FillPipeLists();
  if (OnListsChanged) OnListsChanged();
}

const TkvPipeLists& TkvPipePage::FillPipeLists() {
  FLists = PipeListsOf(FUsb.SelectedDevice());
  return FLists;
}

void TkvPipePage::ActiveClick(bool Checked, int InEntry, int OutEntry) {
  if (Checked) {
    FUsb.SetActive(true);
    FPair.SetPipeIn(AttachedIndex(FLists.In, InEntry));
    FPair.SetPipeOut(AttachedIndex(FLists.Out, OutEntry));
    FPair.SetActive(true);
  } else {
    FPair.SetActive(false);
    FUsb.SetActive(false);
  }
}

}  // namespace quorvex
