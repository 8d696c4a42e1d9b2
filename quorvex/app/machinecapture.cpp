#include "machinecapture.h"

#include "kvplatform.h"
#include "kvusbman.h"
#include "kvutils.h"
#include "sim/kvsimrecorder.h"

namespace quorvex {

const char* const kvDefaultDescriptionName = "machine.json";

TkvSaveOutcome SaveMachineDescription(const std::string& FileName, bool RequestDescriptors) {
  TkvSaveOutcome outcome;
  outcome.FileName = FileName;
  kv::TkvMachine& below = kv::Machine();
  kv::TkvCaptureOptions options = kv::CaptureOptionsOf(below);
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
  outcome.Ok = kv::WriteWholeFile(FileName, result.Json.data(), static_cast<kv::DWORD>(result.Json.size()));
  if (!outcome.Ok) outcome.Error = kv::GetLastError();
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
