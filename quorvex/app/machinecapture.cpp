#include "machinecapture.h"

#include "kvplatform.h"
#include "kvusbman.h"
#include "kvutils.h"
#include "sim/kvsimmachine.h"
#include "sim/kvsimrecorder.h"

namespace quorvex {

const char* const kvDefaultDescriptionName = "machine.json";

namespace {

// The real machine's description is named as the console names it.
const char* const kRealMachineName = "this machine";

bool WriteAll(const std::string& FileName, const std::string& text, kv::DWORD& error) {
  kv::TkvHost& h = kv::Host();
  kv::HANDLE file = h.CreateFileA(FileName.c_str(), kv::GENERIC_WRITE, 0, nullptr, kv::CREATE_ALWAYS,
                                  kv::FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == kv::INVALID_HANDLE_VALUE) {
    error = kv::GetLastError();
    return false;
  }
  kv::DWORD written = 0;
  bool ok = h.WriteFile(file, text.data(), static_cast<kv::DWORD>(text.size()), &written, nullptr) != 0;
  if (ok && written != text.size()) {
    ok = false;
    kv::SetLastError(kv::ERROR_WRITE_FAULT);  // a short write: the disk is full
  }
  if (!ok) error = kv::GetLastError();
  if (!h.CloseHandle(file) && ok) {
    ok = false;
    error = kv::GetLastError();
  }
  // Half a description is no description.
  if (!ok) h.DeleteFileA(FileName.c_str());
  return ok;
}

}  // namespace

TkvSaveOutcome SaveMachineDescription(const std::string& FileName, bool RequestDescriptors) {
  TkvSaveOutcome outcome;
  outcome.FileName = FileName;
  kv::TkvMachine& below = kv::Machine();
  kv::TkvCaptureOptions options;
  // A simulated machine's name and code page go into the description, so
  // that the capture of a replay is the same file.
  if (auto* sim = dynamic_cast<kv::TkvSimMachine*>(&below)) {
    options.Name = sim->Name();
    options.CodePage = sim->CodePage();
  } else {
    options.Name = kRealMachineName;
  }
  kv::TkvRecordingMachine recorder(below);
  {
    kv::TkvMachineScope scope(recorder);
    kv::TkvUSBManager manager;
    manager.RequestDescriptors = RequestDescriptors;
    manager.Refresh();
    // The topology's handles belong to the recorder: they go before it does.
    manager.Clear();
  }
  const kv::TkvCaptureResult result = recorder.Describe(options);
  outcome.SerialsReplaced = result.SerialsReplaced;
  outcome.Ok = WriteAll(FileName, result.Json, outcome.Error);
  return outcome;
}

std::string SaveOutcomeText(const TkvSaveOutcome& Outcome) {
  if (!Outcome.Ok)
    return "Cannot save the machine description to " + Outcome.FileName + ": " +
           kv::SysErrorMessage(Outcome.Error);
  std::string text = "Machine description saved to " + Outcome.FileName;
  if (Outcome.SerialsReplaced == 1) text += "; 1 serial number replaced by a placeholder";
  else if (Outcome.SerialsReplaced > 1)
    text += "; " + std::to_string(Outcome.SerialsReplaced) + " serial numbers replaced by placeholders";
  return text;
}

}  // namespace quorvex
