#include "kvstubrequest.h"

#include "kvwinconst.h"

namespace kv {

namespace {

// The error of a step that failed, taken before anything else can change it.
// A failed step must never read as success, so a step that left no error of
// its own gives ERROR_GEN_FAILURE.
DWORD StepError(const TkvStubApi& api) {
  const DWORD code = api.GetLastError();
  return code != ERROR_SUCCESS ? code : ERROR_GEN_FAILURE;
}

DWORD UpdateDriver(const TkvStubApi& api, const std::u16string& hardwareId, const std::u16string& infPath) {
  BOOL reboot = FALSE;
  if (api.UpdateDriverForPlugAndPlayDevicesW(nullptr, hardwareId.c_str(), infPath.c_str(), INSTALLFLAG_FORCE, &reboot))
    return ERROR_SUCCESS;
  return StepError(api);
}

DWORD ChangeState(const TkvStubApi& api, const std::u16string& instanceId, const std::u16string& change,
                  const std::u16string& classText) {
  GUID cls{};
  // A class that does not read names no device: nothing is asked of SetupAPI.
  if (api.CLSIDFromString(classText.c_str(), &cls) != S_OK) return ERROR_INVALID_PARAMETER;
  HDEVINFO set = api.SetupDiCreateDeviceInfoList(&cls, nullptr);
  if (set == INVALID_HANDLE_VALUE) return StepError(api);
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof(data);
  DWORD code = ERROR_SUCCESS;
  if (!api.SetupDiOpenDeviceInfoW(set, instanceId.c_str(), nullptr, 0, &data)) {
    code = StepError(api);
  } else {
    const DWORD state = change.empty() ? DICS_PROPCHANGE
                        : change[0] == u'1' ? DICS_ENABLE
                        : change[0] == u'2' ? DICS_DISABLE
                                            : DICS_PROPCHANGE;
    if (state == DICS_ENABLE) {
      SP_PROPCHANGE_PARAMS global = PropertyChangeParams(state, DICS_FLAG_GLOBAL);
      if (api.SetupDiSetClassInstallParamsW(set, &data, &global.ClassInstallHeader, sizeof(global)))
        api.SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &data);
    }
    SP_PROPCHANGE_PARAMS specific = PropertyChangeParams(state, DICS_FLAG_CONFIGSPECIFIC);
    if (!api.SetupDiSetClassInstallParamsW(set, &data, &specific.ClassInstallHeader, sizeof(specific))) {
      code = StepError(api);
      api.OutputDebugStringW(u"WOW64: SetupDiSetClassInstallParams");
      api.OutputDebugStringW(u"WOW64: SetupDiCallClassInstaller");
    } else if (!api.SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &data)) {
      code = StepError(api);
      api.OutputDebugStringW(u"WOW64: SetupDiCallClassInstaller");
    }
  }
  api.SetupDiDestroyDeviceInfoList(set);
  return code;
}

}  // namespace

DWORD RunStubRequest(const TkvStubApi& Api, const WCHAR* CommandLine) {
  const std::vector<std::u16string> items = Api.CommandLineToArgvW(CommandLine);
  if (items.size() == 3) return UpdateDriver(Api, items[1], items[2]);
  if (items.size() == 4) return ChangeState(Api, items[1], items[2], items[3]);
  return ERROR_INVALID_PARAMETER;
}

}  // namespace kv
