// The WinUSB driver installer: a non-visual component that writes a driver
// package for one USB device (an INF made from the program's template
// resource "KVUSBINF", the co-installer files the program carries, the 64-bit
// stub) into a fresh folder below the temporary folder and asks Windows to
// install it for the device's hardware id.
//
// Threading: main thread only. InstallDriver blocks for the whole
// installation, including the dialogs Windows shows and a stub run.
#pragma once

#include <string>

#include "kvclasses.h"

namespace kv {

class TkvUSB;

// Days since 30 December 1899 as a double; the fraction is the time of day.
using TDateTime = double;
// The local date and time now.
TDateTime Now();
// A date as the INF's DriverVer wants it: mm/dd/yyyy, whatever the user's
// date settings. A value outside the years 1 to 9999 (or not a number) is
// written as the nearest end of that range.
std::string InfDateText(TDateTime date);

// What the INF writer puts into the template's placeholders.
struct TkvInfValues {
  std::string HardwareId;   // %KV_HID%
  TDateTime Date = 0;       // %KV_VER_DATE%
  std::string Version;      // %KV_VER_NUMBER%
  std::string Description;  // %KV_DEV_DESCR%: "" or " " + caption or device name
  GUID InterfaceGuid{};     // %KV_INTF_GUID%
  // Whether the package holds co-installer files. Without them the INF names
  // none: the sections that copy and register them are left out.
  bool WithCoInstallers = false;
};

// The INF text made from a template: the placeholders filled in (in their
// order, every occurrence, letter case ignored). Texts that come from a device
// or a property are made safe for the INF: a double quote is doubled, a
// percent sign doubled, a control character becomes a blank, so that no value
// can end a quoted string, refer to a string key or start a line.
std::string MakeDriverInf(const std::string& templateText, const TkvInfValues& values);

class TkvUsbDriver : public TComponent {
 public:
  explicit TkvUsbDriver(TComponent* AOwner);
  ~TkvUsbDriver() override;

  // ---- published properties
  const TOnFatalErrorEvent& OnFatalError() const { return FOnFatalError; }
  void SetOnFatalError(TOnFatalErrorEvent Value) { FOnFatalError = std::move(Value); }
  // Used when kvUsb is not set or has no selected device; 0 by default.
  DWORD IdVendor() const { return FIdVendor; }
  void SetIdVendor(DWORD Value) { FIdVendor = Value; }
  DWORD IdProduct() const { return FIdProduct; }
  void SetIdProduct(DWORD Value) { FIdProduct = Value; }
  // The component whose selected device the package is made for; not owned,
  // cleared when that component goes.
  TkvUSB* kvUsb() const { return FkvUsb; }
  void SetkvUsb(TkvUSB* Value);
  // "8.0.0.1" by default.
  const std::string& DriverVersion() const { return FDriverVersion; }
  void SetDriverVersion(const std::string& Value) { FDriverVersion = Value; }
  // The local date and time of construction by default.
  TDateTime DriverDate() const { return FDriverDate; }
  void SetDriverDate(TDateTime Value) { FDriverDate = Value; }
  // "{4266AEE3-A7D8-4DD2-B979-D64FB674F68A}" by default; empty: every
  // package gets a new interface GUID.
  const std::string& InterfaceGUID() const { return FInterfaceGUID; }
  void SetInterfaceGUID(const std::string& Value) { FInterfaceGUID = Value; }
  // Not owned; cleared when the log goes.
  TkvCustomLogFile* Log() const { return FLog; }
  void SetLog(TkvCustomLogFile* Value);
  // The device description in the INF; empty: the selected device's name.
  const std::string& DriverCaption() const { return FDriverCaption; }
  void SetDriverCaption(const std::string& Value) { FDriverCaption = Value; }

  // The GUID the last SaveDriverFiles wrote into the INF.
  const GUID& InterfaceGuidValue() const { return FInterfaceGuidValue; }
  // Resource name "=" path in the package folder, nine lines.
  const TStringList& CoInstallerFiles() const { return *FCoInstallerFiles; }

  // ---- operations
  // Writes the package into the existing Folder (ending with a backslash).
  bool SaveDriverFiles(const std::string& Folder);
  // Deletes the files SaveDriverFiles wrote; failures are ignored.
  void DeleteDriverFiles(const std::string& Folder);
  // "USB\VID_xxxx&PID_xxxx" of the selected device, or of IdVendor and
  // IdProduct; "Device is not selected." (and "") when an id is 0.
  std::string GetHardwareId();

  // The log line "Fatal Error: Detail, Msg", then OnFatalError (ErrorCode
  // 14), which may clear RaiseException; then Exception(Msg) unless cleared.
  void FatalError(DWORD Detail, const std::string& Msg);
  void WriteLog(BYTE Level, const std::string& Msg);

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override;

 private:
  TkvUSB* FkvUsb = nullptr;
  DWORD FIdVendor = 0;
  DWORD FIdProduct = 0;
  TOnFatalErrorEvent FOnFatalError;
  std::string FDriverVersion;
  TDateTime FDriverDate = 0;
  GUID FInterfaceGuidValue{};
  std::string FInterfaceGUID;
  TkvCustomLogFile* FLog = nullptr;
  std::string FDriverCaption;
  std::unique_ptr<TStringList> FCoInstallerFiles;
};

}  // namespace kv
