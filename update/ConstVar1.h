// What the installer knows about one update: the description read from
// Update.inf, the folder it was started in, and what the registry says about
// the installed product.
//
// The program keeps exactly one instance (owned by its main window); the
// functions of Functions1 and the install run take it by reference, so a test
// can build a fresh one for every case.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace update {

// Numbered entries "Delete1".."Delete50" and "Copy1".."Copy50".
constexpr int MaxEntries = 50;

// The registry keys below HKEY_LOCAL_MACHINE that name the installed product.
constexpr const char* AppPathsKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";
constexpr const char* VendorKey = "SOFTWARE\\Vandrell Datentechnik\\";
constexpr const char* PathValue = "Path";
constexpr const char* UpdateValue = "Update";

// The offered version that switches off the version rule (and its record).
constexpr const char* AnyVersion = "*";

struct TUpdateData {
  // The lines of Update.inf.
  std::vector<std::string> InfLines;
  // The working directory at start; copy sources are relative to it.
  std::string StartDir;

  std::string ProgramFile;    // "Programm": the product's program, relative to its folder
  std::string ProgramName;    // "ProgrammName": the product's name in its registry key
  std::string UpdateVersion;  // "Version": the version this update installs, or "*"

  // Slots 1 to MaxEntries; slot 0 is unused so that entry n lives in slot n.
  std::array<std::string, MaxEntries + 1> DeleteList;
  std::array<std::string, MaxEntries + 1> CopySources;
  std::array<std::string, MaxEntries + 1> CopyTargets;
  // Lines that matched a numbered key; the run processes slots 1 up to these.
  unsigned DeleteCount = 0;
  unsigned CopyCount = 0;

  // Set by each lookup.
  std::string InstallPath;
  std::string InstalledVersion;
};

}  // namespace update
