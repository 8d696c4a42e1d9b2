#include "devicebox.h"

#include "wincontrols.h"

namespace quorvex::win {

TDeviceBox::TDeviceBox(kv::TComponent* owner) : FModel(new kv::TkvDeviceBox(owner)) {
  FModel->SetName("kvDeviceBox1");
  FModel->OnItemsChanged = [this](kv::TObject*) { ShowModel(); };
}

TDeviceBox::~TDeviceBox() {
  // The model may outlive the window (the form frees its components later).
  FModel->OnItemsChanged = nullptr;
  delete FModel;
}

void TDeviceBox::Create(HWND parent, int id) {
  Attach(CreateChild(WC_COMBOBOXA, "", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, 0, parent, id));
  ShowModel();
}

void TDeviceBox::ShowModel() {
  if (!FHandle) return;
  FFilling = true;
  SendMessageA(FHandle, WM_SETREDRAW, FALSE, 0);
  SendMessageA(FHandle, CB_RESETCONTENT, 0, 0);
  const kv::TStringList& items = FModel->Items();
  for (int i = 0; i < items.Count(); ++i)
    SendMessageA(FHandle, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(items.Strings(i).c_str()));
  SendMessageA(FHandle, CB_SETCURSEL, static_cast<WPARAM>(FModel->ItemIndex()), 0);
  SendMessageA(FHandle, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(FHandle, nullptr, TRUE);
  FFilling = false;
}

void TDeviceBox::OnCommand(WORD code) {
  if (code != CBN_SELCHANGE || FFilling) return;
  FModel->Change(static_cast<int>(SendMessageA(FHandle, CB_GETCURSEL, 0, 0)));
}

}  // namespace quorvex::win
