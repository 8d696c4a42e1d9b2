// The soundness check of a driver package's INF, shared by the tests and the
// fuzzer of the INF writer.
#pragma once

#include <string>

#include "sim/kvsiminf.h"

namespace kv::test {

// "" when Text is a sound INF that names HardwareId once in each of the
// three model sections and nowhere else as a device; otherwise the fault.
inline std::string CheckDriverInf(const std::string& text, const std::string& hardwareId) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) return "a line break without CR";
    if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) return "a CR without line feed";
  }
  TkvInf inf;
  std::string error;
  if (!inf.Parse(text, error)) return error;
  for (const char* s : {"Version", "Manufacturer", "USB_Install", "USB_Install.Services", "Dev_AddReg", "Strings",
                        "MyDevice_WinUSB.NTx86", "MyDevice_WinUSB.NTamd64", "MyDevice_WinUSB.NTia64"})
    if (inf.SectionCount(s) != 1) return std::string("section [") + s + "] not there once";
  for (const char* s : {"MyDevice_WinUSB.NTx86", "MyDevice_WinUSB.NTamd64", "MyDevice_WinUSB.NTia64"}) {
    const TkvInfSection* sec = inf.Section(s);
    int ids = 0;
    for (const TkvInfEntry& e : sec->Entries)
      for (std::size_t v = 1; v < e.Values.size(); ++v) ids += e.Values[v] == hardwareId;
    if (sec->Entries.size() != 1 || ids != 1)
      return std::string("[") + s + "] does not name " + hardwareId + " exactly once";
  }
  return "";
}

}  // namespace kv::test
