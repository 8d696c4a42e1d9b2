// What a recording machine keeps: shared by the recorder (kvsimrecorder.cpp)
// and the description writer (kvsimcapture.cpp). Texts are the ANSI bytes the
// A functions delivered; the writer converts them.
#pragma once

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kvsimrecorder.h"
#include "kvtext.h"

namespace kv {

// Bytes a recording keeps: a view into its arena.
struct TkvRecBytes {
  const BYTE* Data = nullptr;
  std::size_t Size = 0;
  std::size_t size() const { return Size; }
  bool empty() const { return Size == 0; }
  BYTE operator[](std::size_t i) const { return Data[i]; }
  const BYTE* begin() const { return Data; }
  const BYTE* end() const { return Data + Size; }
};

// Where a recording keeps the bytes it read: tens of thousands of small
// replies and values, one after another in large blocks that never move, so
// that keeping one costs a copy and no allocation of its own, and the whole
// recording goes with a few blocks. A value read again is kept again; the
// bytes of the older read stay unused.
class TkvRecArena {
 public:
  TkvRecBytes Copy(const void* data, std::size_t size);
  std::string_view Text(std::string_view text) {
    const TkvRecBytes kept = Copy(text.data(), text.size());
    return std::string_view(reinterpret_cast<const char*>(kept.Data), kept.Size);
  }
  // Room for `size` bytes at a multiple of `align`.
  void* Room(std::size_t size, std::size_t align);

 private:
  static constexpr std::size_t kBlock = 256 * 1024;
  std::vector<std::unique_ptr<BYTE[]>> FBlocks;
  BYTE* FFree = nullptr;
  std::size_t FLeft = 0;
};

// Allocates from an arena and never gives back: for the small lists of a
// recording, which live as long as the recording.
template <class T>
struct TkvRecAllocator {
  using value_type = T;
  TkvRecArena* Arena;
  explicit TkvRecAllocator(TkvRecArena& arena) : Arena(&arena) {}
  template <class U>
  TkvRecAllocator(const TkvRecAllocator<U>& other) : Arena(other.Arena) {}
  T* allocate(std::size_t n) { return static_cast<T*>(Arena->Room(n * sizeof(T), alignof(T))); }
  void deallocate(T*, std::size_t) {}
  template <class U>
  bool operator==(const TkvRecAllocator<U>& other) const { return Arena == other.Arena; }
  template <class U>
  bool operator!=(const TkvRecAllocator<U>& other) const { return Arena != other.Arena; }
};

// The devnode key each handle stands for. Handles are small numbers (on
// Windows, under Wine and here): a table by handle, and a map for any other.
class TkvRecBindings {
 public:
  DEVINST Find(DEVINST handle) const {  // 0: none
    if (handle < kDirect) return handle < FDirect.size() ? FDirect[handle] : 0;
    auto it = FOther.find(handle);
    return it == FOther.end() ? 0 : it->second;
  }
  void Set(DEVINST handle, DEVINST key) {
    if (handle < kDirect) {
      if (handle >= FDirect.size())
        FDirect.resize(std::min<std::size_t>(kDirect, std::max<std::size_t>(handle + 1, FDirect.size() * 2)), 0);
      FDirect[handle] = key;
    } else {
      FOther[handle] = key;
    }
  }

 private:
  static constexpr DEVINST kDirect = 1u << 20;
  std::vector<DEVINST> FDirect;
  std::unordered_map<DEVINST, DEVINST> FOther;
};

struct TkvRecValue {
  DWORD Type = REG_NONE;
  TkvRecBytes Data;
};

// Values in the order they were first read; a later read replaces an earlier.
struct TkvRecValues {
  std::vector<std::pair<std::string_view, TkvRecValue>> List;  // names in the arena
  void Set(TkvRecArena& arena, std::string_view name, DWORD type, const BYTE* data, std::size_t size);
};

// A devnode. Devnodes are kept by a key of their own: the machine's handles
// (DEVINST) name the same devnode on Windows, but Wine hands out the handles
// of a destroyed device-information set again for other devnodes, so a handle
// is tied to a devnode only until the devnode's id says otherwise.
struct TkvRecDevnode {
  unsigned long Seen = 0;  // order of first sight
  std::string_view Id;     // in the arena; empty: never read
  bool IdSizeZero = false;
  std::optional<GUID> Class;
  // The tree as the walk saw it, as keys (0: not seen).
  DEVINST Parent = 0;
  DEVINST FirstChild = 0;
  DEVINST Next = 0;
  // The properties delivered, by SPDRP code (in the order of the codes).
  std::vector<std::pair<DWORD, TkvRecValue>, TkvRecAllocator<std::pair<DWORD, TkvRecValue>>> Properties;
  explicit TkvRecDevnode(TkvRecArena& arena) : Properties(TkvRecAllocator<std::pair<DWORD, TkvRecValue>>(arena)) {}
  TkvRecValue& Property(DWORD code);
  std::optional<bool> HardwareKey;
  TkvRecBytes KernelName;  // of the hardware key, as ZwQueryKey named it (UTF-16)
  TkvRecValues HardwareValues;  // read through the hardware key's handle
  std::vector<std::pair<GUID, std::string>> Interfaces;
};

struct TkvRecRequest {
  std::size_t Hash = 0;    // of object, code, input and room: see TRecording::Request
  std::size_t Object = 0;  // the number of the path's object (TRecording::Paths)
  DWORD Code = 0;
  TkvRecBytes In;
  DWORD OutSize = 0;
  bool Ok = false;
  DWORD Error = 0;
  TkvRecBytes Out;  // the bytes returned
};

struct TkvRecordingMachine::TRecording {
  TkvRecArena Bytes;  // the values, properties, request inputs and replies
  // Keeps what a read delivered.
  void Keep(TkvRecValue& value, DWORD type, const BYTE* data, std::size_t size) {
    value.Type = type;
    value.Data = Bytes.Copy(data, size);
  }
  // Devnodes by their key (1, 2, ... in the order made); the key each handle
  // stands for now, and the key of each id (upper case).
  std::deque<TkvRecDevnode> Devnodes;
  TkvRecBindings Bound;
  std::unordered_map<std::string_view, DEVINST> ById;  // ids in the arena
  unsigned long NextSeen = 0;
  DEVINST Root = 0;  // key of the root
  bool Has(DEVINST key) const { return key >= 1 && key <= Devnodes.size(); }
  TkvRecDevnode& At(DEVINST key) { return Devnodes[key - 1]; }
  const TkvRecDevnode& At(DEVINST key) const { return Devnodes[key - 1]; }
  // Relations by the upper-case id asked for (in the arena): the ids one
  // after another, each with its zero.
  std::unordered_map<std::string_view, TkvRecBytes> BusRelations, RemovalRelations;

  // Registry keys that opened, by upper-case path ("HKLM\SYSTEM\..."), with
  // the values read; and the open handles.
  struct Key {
    std::string_view Path;  // in the arena
    unsigned long Seen = 0;
    TkvRecValues Values;
  };
  // Upper-case paths in the arena; the elements stay where they are:
  // KeyHandles points at them.
  std::unordered_map<std::string_view, Key> Keys;
  unsigned long NextKey = 0;
  std::unordered_map<ULONG_PTR, Key*> KeyHandles;            // handle -> its key
  std::unordered_map<ULONG_PTR, DEVINST> HardwareKeyHandles;  // handle -> devnode key

  // Services.
  std::unordered_map<ULONG_PTR, std::string> Modules;  // handle -> library name as asked
  std::vector<std::string> MissingLibraries;
  std::map<std::string, std::vector<std::string>> MissingExports;  // library -> entries
  std::unordered_map<ULONG_PTR, std::pair<DEVINST, GUID>> Interfaces;  // SP_DEVICE_INTERFACE_DATA.Reserved -> key

  std::optional<DWORD> DriveMask;
  std::map<char, UINT> DriveTypes;
  std::optional<OSVERSIONINFOA> Version;
  std::optional<bool> Wow64;

  // Device paths: the objects (numbered 1, 2, ... by upper-case path, with
  // whether they opened), the open handles, and the requests.
  std::unordered_map<ULONG_PTR, std::size_t> Files;  // handle -> object number
  struct Object {
    bool Opened = false;
    std::size_t Number = 0;
  };
  std::unordered_map<std::string, Object> Opened;
  std::vector<std::string> Paths;  // by object number - 1: the path as first opened
  std::deque<TkvRecRequest> Requests;
  // A request is the same as an earlier one when it goes to the same object
  // with the same code, input and room for the reply. Found by a hash of
  // those in an open-addressed table of request numbers + 1 (0: free), kept
  // at most half full: thousands of requests, one look each.
  std::vector<std::size_t> RequestSlots;
  TkvRecRequest& Request(std::size_t object, DWORD code, DWORD room, const std::vector<BYTE>& input);

  // The key a handle stands for (a new devnode for a handle not seen yet),
  // and its devnode.
  DEVINST Node(DEVINST handle);
  TkvRecDevnode& Devnode(DEVINST handle) { return At(Node(handle)); }
  // Ties a handle to the devnode of this id.
  DEVINST BindId(DEVINST handle, std::string_view id);
  Key& OpenedKey(std::string_view path);
  std::string FPath, FUpper;  // room for the paths of keys being opened, and for texts in upper case
  const std::string& Upper(std::string_view text) {
    FUpper.assign(text);
    for (char& c : FUpper) c = UpperAscii(c);
    return FUpper;
  }
};

// The request codes a capture lets through: the reads of host controllers
// and hubs.
bool IsUsbReadRequest(DWORD code);

}  // namespace kv
