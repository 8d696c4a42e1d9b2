// What a recording machine keeps: shared by the recorder (kvsimrecorder.cpp)
// and the description writer (kvsimcapture.cpp). Texts are the ANSI bytes the
// A functions delivered; the writer converts them.
#pragma once

#include <atomic>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "kvsimrecorder.h"

namespace kv {

struct TkvRecValue {
  DWORD Type = REG_NONE;
  std::vector<BYTE> Data;
};

// Values in the order they were first read; a later read replaces an earlier.
struct TkvRecValues {
  std::vector<std::pair<std::string, TkvRecValue>> List;
  void Set(const std::string& name, TkvRecValue value);
};

// A devnode. Devnodes are kept by a key of their own: the machine's handles
// (DEVINST) name the same devnode on Windows, but Wine hands out the handles
// of a destroyed device-information set again for other devnodes, so a handle
// is tied to a devnode only until the devnode's id says otherwise.
struct TkvRecDevnode {
  unsigned long Seen = 0;  // order of first sight
  std::string Id;          // empty: never read
  bool IdSizeZero = false;
  std::optional<GUID> Class;
  // The tree as the walk saw it, as keys (0: not seen).
  DEVINST Parent = 0;
  DEVINST FirstChild = 0;
  DEVINST Next = 0;
  std::map<DWORD, TkvRecValue> Properties;  // by SPDRP code, the ones delivered
  std::optional<bool> HardwareKey;
  std::string KernelName;     // of the hardware key, as ZwQueryKey named it (ANSI)
  TkvRecValues HardwareValues;  // read through the hardware key's handle
  std::vector<std::pair<GUID, std::string>> Interfaces;
};

struct TkvRecRequest {
  std::string Path;  // as opened, e.g. "\\.\HCD0"
  DWORD Code = 0;
  std::vector<BYTE> In;
  DWORD OutSize = 0;
  bool Ok = false;
  DWORD Error = 0;
  std::vector<BYTE> Out;  // the bytes returned
};

struct TkvRecordingMachine::TRecording {
  // Devnodes by their key; the key each handle stands for now, and the key of
  // each id (upper case).
  std::map<DEVINST, TkvRecDevnode> Devnodes;
  std::map<DEVINST, DEVINST> Bound;
  std::map<std::string, DEVINST> ById;
  unsigned long NextSeen = 0;
  DEVINST Root = 0;  // key of the root
  // Relations by the upper-case id asked for: the id as spelled and the list.
  std::map<std::string, std::pair<std::string, std::vector<std::string>>> BusRelations, RemovalRelations;

  // Registry keys that opened, by upper-case path ("HKLM\SYSTEM\..."), with
  // the values read; and the open handles.
  struct Key {
    std::string Path;
    unsigned long Seen = 0;
    TkvRecValues Values;
  };
  std::map<std::string, Key> Keys;
  unsigned long NextKey = 0;
  std::map<ULONG_PTR, std::string> KeyHandles;       // handle -> upper-case path
  std::map<ULONG_PTR, DEVINST> HardwareKeyHandles;   // handle -> devnode key

  // Services.
  std::map<ULONG_PTR, std::string> Modules;  // handle -> library name as asked
  std::vector<std::string> MissingLibraries;
  std::map<std::string, std::vector<std::string>> MissingExports;  // library -> entries
  // The machine's own entry points, by the recorder's entry index; set
  // when the library looks them up, read by every recorded call.
  std::atomic<FARPROC> BelowEntries[32] = {};
  std::map<ULONG_PTR, std::pair<DEVINST, GUID>> Interfaces;          // SP_DEVICE_INTERFACE_DATA.Reserved -> key

  std::optional<DWORD> DriveMask;
  std::map<char, UINT> DriveTypes;
  std::optional<OSVERSIONINFOA> Version;
  std::optional<bool> Wow64;

  // Device paths: open handles, which paths opened, and the requests.
  std::map<ULONG_PTR, std::string> Files;
  std::map<std::string, bool> Opened;  // upper-case path -> whether it opened
  std::vector<TkvRecRequest> Requests;
  std::map<std::tuple<std::string, DWORD, DWORD, std::vector<BYTE>>, std::size_t> RequestIndex;

  // The key a handle stands for (a new devnode for a handle not seen yet),
  // and its devnode.
  DEVINST Node(DEVINST handle);
  TkvRecDevnode& Devnode(DEVINST handle) { return Devnodes[Node(handle)]; }
  // Ties a handle to the devnode of this id.
  DEVINST BindId(DEVINST handle, const std::string& id);
  Key& OpenedKey(const std::string& path);
};

// The request codes a capture lets through: the reads of host controllers
// and hubs.
bool IsUsbReadRequest(DWORD code);

}  // namespace kv
