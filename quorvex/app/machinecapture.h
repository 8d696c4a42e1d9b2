// "Save Machine Description ...": the browser's capture of the machine it
// runs on. One refresh through a recording machine in front of the installed
// machine, with a topology of its own, so the browser's tree, selection and
// device list keep their records; the description goes to a file through the
// host half. Serial numbers become placeholders: they are personal data.
#pragma once

#include <string>

#include "kvwintypes.h"

namespace quorvex {

// The name the Save As dialog offers first.
extern const char* const kvDefaultDescriptionName;

struct TkvSaveOutcome {
  std::string FileName;
  bool Ok = false;
  kv::DWORD Error = 0;           // the last error of the failed write
  unsigned SerialsReplaced = 0;  // serial numbers replaced by placeholders
};

// Refreshes once through a recorder in front of kv::Machine(), with the
// browser's "Request Descriptors for Unknown Devices" mark, and writes the
// description to FileName (a file that cannot be written completely is
// removed). The refresh takes the process-wide refresh lock like any other.
// Only the calling thread may use the machine meanwhile: the recorder stands
// in front of it for the whole process.
TkvSaveOutcome SaveMachineDescription(const std::string& FileName, bool RequestDescriptors);

// What the status bar says afterwards: where the description went and how
// many serial numbers were replaced, or why it could not be written.
std::string SaveOutcomeText(const TkvSaveOutcome& Outcome);

}  // namespace quorvex
