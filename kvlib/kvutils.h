// Small plain functions over the platform that the library and the programs
// share: the owner window of setup calls, the program's raw-data resources,
// version texts, GUID and device-path texts, starting a process and waiting
// for it, and the letters of the local drives. None keeps state; failures
// show only in the result (or, for RunProcess, in the last error).
#pragma once

#include <string>

#include "kvwintypes.h"

namespace kv {

HWND GetOwnerWindow();
// Writes the program's RCDATA resource ResName (any letter case) to FileName.
bool SaveResourceToFile(const std::string& ResName, const std::string& FileName);
// Creates (or truncates) FileName and writes Size bytes to it through the
// host. A file that cannot be written completely is removed again: half an
// INF, program or description is worse than none. On failure the last error
// says why (ERROR_WRITE_FAULT for a short write).
bool WriteWholeFile(const std::string& FileName, const void* Data, DWORD Size);
// Reads FileName through the host, to its end, into Bytes (others may read
// it meanwhile). False when it cannot be opened or read, the last error
// saying why; Bytes is then empty.
bool ReadWholeFile(const std::string& FileName, std::string& Bytes);
// The bytes of the program's RCDATA resource ResName, or "" when it has none.
std::string LoadResourceText(const std::string& ResName);
// The file version of FileName formatted with Fmt (four %u; default
// "%u.%u.%u.%u"), or, for an empty FileName, the Windows version text.
std::string GetVersionText(const std::string& FileName, const std::string& Fmt);
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case digits.
std::string GuidToText(const GUID& Guid);
// A symbolic link such as \??\USB#VID_…#serial#{guid} as a device id
// USB\VID_…\serial\{guid}.
std::string DevicePathToId(const std::string& Path);
// Puts Text on the clipboard as CF_TEXT, Owner owning it. False when the
// clipboard cannot be opened or the memory not had (the clipboard then stays
// as it was, or empty when emptying succeeded).
bool SetClipboardText(HWND Owner, const std::string& Text);
// The CF_TEXT text on the clipboard, "" when it holds none.
std::string GetClipboardText(HWND Owner);
// Starts CommandLine in Directory, optionally waits for its end. The outcome
// is the last error: the start error, or the exit code (0 without Wait).
void RunProcess(const std::string& CommandLine, const std::string& Directory, bool Wait, bool Hidden);
// The system's message text for an error code (FormatMessageA, one line,
// without the closing line break), or "" when the system has none.
std::string SysErrorMessage(DWORD Code);
// The letters of the drives of the chosen types, each followed by Separator,
// trimmed.
std::string GetDriveLetters(bool Remote, bool CdRom, bool Fixed, bool Removable, bool RamDisk,
                            const std::string& Separator);

}  // namespace kv
