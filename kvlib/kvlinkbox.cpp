#include "kvlinkbox.h"

namespace kv {

TkvDeviceBox::TkvDeviceBox(TComponent* AOwner) : TComponent(AOwner) {}

TkvDeviceBox::~TkvDeviceBox() {
  // Before the framework's destructor: the component must not call a box
  // that is being taken apart.
  if (FkvLink) FkvLink->RemoveNotify(TOnNotifyEvent(this, &TkvDeviceBox::DeviceNotify));
}

void TkvDeviceBox::SetkvLink(TkvBaseIO* Value) {
  // The component bound before is let go first: filling from the new one may
  // enumerate, which makes the old one notify.
  if (FkvLink && FkvLink != Value) {
    FkvLink->RemoveNotify(TOnNotifyEvent(this, &TkvDeviceBox::DeviceNotify));
    FkvLink->RemoveFreeNotification(this);
  }
  FkvLink = Value;
  FItems.Clear();
  FItemIndex = -1;
  if (Value) {
    Value->FillDeviceList(&FItems);
    const int index = Value->DeviceIndex();
    FItemIndex = index >= 0 && index < FItems.Count() ? index : -1;
    Value->AddNotify(TOnNotifyEvent(this, &TkvDeviceBox::DeviceNotify));
    Value->FreeNotification(this);
  }
  ItemsChanged();
}

void TkvDeviceBox::RefreshItems() { SetkvLink(FkvLink); }

void TkvDeviceBox::Change(int Index) {
  if (!FkvLink) return;  // not even OnChange
  FkvLink->SetDeviceIndex(Index);
  if (OnChange) OnChange(this);
}

void TkvDeviceBox::DeviceNotify(TObject*, int Code) {
  if (Code == kvNotifyDeviceList) RefreshItems();
}

void TkvDeviceBox::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  if (Operation == opRemove && AComponent && AComponent == FkvLink) {
    // The component is going: its callback list goes with it. The items stay
    // as texts; their records are not to be used any more.
    FkvLink = nullptr;
    FItemIndex = -1;
    for (int i = 0; i < FItems.Count(); ++i) FItems.SetObject(i, nullptr);
    ItemsChanged();
  }
}

void TkvDeviceBox::ItemsChanged() {
  if (OnItemsChanged) OnItemsChanged(this);
}

}  // namespace kv
