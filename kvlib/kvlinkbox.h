// The device selection box: shows the device list of one communication
// component and keeps its selection in step with the component's DeviceIndex,
// both ways. This is the box's model; a drop-down-list combo box of the
// program only shows Items and ItemIndex and reports the user's picks.
//
// Item N is entry N of the component's list (never sorted), so the box's
// item index and the component's DeviceIndex are the same number. The items'
// attached records are the component's: valid until its next enumeration,
// after which the component notifies code 3 and the box refills.
//
// Main thread only.
#pragma once

#include <functional>

#include "kvbaseio.h"

namespace kv {

class TkvDeviceBox : public TComponent {
 public:
  explicit TkvDeviceBox(TComponent* AOwner);
  // Unregisters its callback from the bound component.
  ~TkvDeviceBox() override;

  // Binding: clears the items, then (with a component) fills them from its
  // list (loading the list when it is empty), selects its DeviceIndex,
  // registers DeviceNotify and asks for free notification; a component bound
  // before is let go.
  TkvBaseIO* kvLink() const { return FkvLink; }
  void SetkvLink(TkvBaseIO* Value);
  // Stored with the form; nothing reads it.
  bool ResetOnChanged() const { return FResetOnChanged; }
  void SetResetOnChanged(bool Value) { FResetOnChanged = Value; }

  // What the combo box shows.
  const TStringList& Items() const { return FItems; }
  int ItemIndex() const { return FItemIndex; }

  // The user picked Index: the component's DeviceIndex := Index (which
  // refills the box), then OnChange. Unbound: nothing at all.
  void Change(int Index);
  // Binds the present component again.
  void RefreshItems();
  // The callback registered with the component: code 3 refills.
  void DeviceNotify(TObject* Sender, int Code);

  // After a pick (OnChange), and after every change of Items or ItemIndex
  // (the combo box refills itself).
  TNotifyEvent OnChange;
  TNotifyEvent OnItemsChanged;

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override;

 private:
  void ItemsChanged();
  TkvBaseIO* FkvLink = nullptr;
  bool FResetOnChanged = false;
  TStringList FItems;
  int FItemIndex = -1;
};

}  // namespace kv
