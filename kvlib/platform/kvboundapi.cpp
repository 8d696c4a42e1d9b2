#include "kvboundapi.h"

#include "kvwinconst.h"

namespace kv {

SP_PROPCHANGE_PARAMS PropertyChangeParams(DWORD StateChange, DWORD Scope) {
  SP_PROPCHANGE_PARAMS p{};
  p.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
  p.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
  p.StateChange = StateChange;
  p.Scope = Scope;
  p.HwProfile = 0;
  return p;
}

}  // namespace kv
