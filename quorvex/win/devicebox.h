// kvDeviceBox1: a drop-down-list combo box that only shows the portable
// TkvDeviceBox model (kvlinkbox) and hands the user's picks to it.
#pragma once

#include "kvlinkbox.h"
#include "winwindow.h"

namespace quorvex::win {

class TDeviceBox : public TControl {
 public:
  // The model is owned by Owner (the form's components).
  explicit TDeviceBox(kv::TComponent* owner);
  ~TDeviceBox() override;

  void Create(HWND parent, int id);
  kv::TkvDeviceBox& Model() { return *FModel; }
  // WM_COMMAND of the combo box (its notification code).
  void OnCommand(WORD code);

 private:
  void ShowModel();
  kv::TkvDeviceBox* FModel;
  bool FFilling = false;
};

}  // namespace quorvex::win
