#include "kvlinkbox.h"

namespace kv {

TkvDeviceBox::TkvDeviceBox(TComponent* AOwner) : TComponent(AOwner) {}
TkvDeviceBox::~TkvDeviceBox() = default;
void TkvDeviceBox::SetkvLink(TkvBaseIO* Value) { FkvLink = Value; }
void TkvDeviceBox::Change(int) {}
void TkvDeviceBox::RefreshItems() {}
void TkvDeviceBox::DeviceNotify(TObject*, int) {}
void TkvDeviceBox::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
}
void TkvDeviceBox::ItemsChanged() {}

}  // namespace kv
