// Drive letters of USB storage devices: the identities of the local volumes
// from the registry's mounted-devices table, matched against the ids of the
// volumes below a storage device.
#include "kvplatform.h"
#include "kvsetupapi.h"
#include "kvtext.h"
#include "kvusbman.h"
#include "kvutils.h"

namespace kv {

namespace {

const char* const kMountedDevicesKey = "SYSTEM\\MountedDevices";
// A partition of a disk with a master boot record: signature and offset.
constexpr std::size_t kMbrIdentitySize = 12;
// Entries this short are bare letters and never match.
constexpr std::size_t kMinMatchLength = 4;

// "Signature<sig>Offset<offset>", both upper-case hexadecimal without
// leading zeros; a zero offset gives no digits.
std::string MbrIdentity(const std::string& data) {
  const auto* b = reinterpret_cast<const BYTE*>(data.data());
  std::string offset;
  bool leading = true;
  for (int i = 11; i >= 4; --i) {
    if (leading && b[i] == 0) continue;
    leading = false;
    offset += Format("%.2X", {b[i]});
  }
  const std::size_t first = offset.find_first_not_of('0');
  offset = first == std::string::npos ? std::string() : offset.substr(first);
  return "Signature" + Format("%X", {ReadLeDword(b)}) + "Offset" + offset;
}

}  // namespace

void TkvUSBManager::EnumDisks() {
  Drives.SetText(GetDriveLetters(false, true, true, true, true, "\r\n"));
  if (Log) Log->Write(0, "EnumDisks GetDiVolums: " + Drives.Text());
  for (int i = 0; i < Drives.Count(); ++i) {
    const std::string letter = Drives.Strings(i);
    if (letter.empty()) continue;
    const std::string data = ReadRegistryString(HKEY_LOCAL_MACHINE, kMountedDevicesKey, "\\DosDevices\\" + letter + ":");
    if (data.empty()) continue;
    std::string identity;
    if (data.size() == kMbrIdentitySize)
      identity = MbrIdentity(data);
    else
      identity = DevicePathToId(UsbWideText(reinterpret_cast<const BYTE*>(data.data()), data.size()));
    Drives.SetString(i, LowerAscii(identity));
    Drives.SetObject(i, new TkvDriveLetter(letter[0]));
  }
}

std::string TkvUSBManager::FindDriveLetter(const std::string& DeviceId) const {
  const std::string id = DevicePathToId(LowerAscii(DeviceId));
  // An empty id is part of every text; it names no volume.
  if (id.empty()) return std::string();
  auto letterOf = [&](int i) {
    const auto* drive = Drives.ObjectAs<TkvDriveLetter>(i);
    return drive ? std::string(1, drive->Letter) : std::string();
  };
  for (int i = 0; i < Drives.Count(); ++i) {
    const std::string& text = Drives.Strings(i);
    if (text.size() >= kMinMatchLength &&
        (id.find(text) != std::string::npos || text.find(id) != std::string::npos))
      return letterOf(i);
  }
  // Volumes of MBR disks: the partition's offset at the very end of the id.
  for (int i = Drives.Count() - 1; i >= 0; --i) {
    const std::string& text = Drives.Strings(i);
    const std::size_t at = text.find("offset");
    if (at == std::string::npos) continue;
    const std::string offset = text.substr(at + 6);
    if (offset.empty()) continue;
    const std::size_t pos = id.find(offset);
    if (pos != std::string::npos && pos + offset.size() == id.size()) return letterOf(i);
  }
  return std::string();
}

void TkvUsbDevice::FindDisks() {
  Disks.clear();
  TkvUSBManager* manager = Manager();
  if (ChildIds.empty() || !manager) return;
  TStringList children;
  children.SetText(ChildIds);
  for (int c = 0; c < children.Count(); ++c) {
    const std::string& child = children.Strings(c);
    if (child.empty()) continue;
    TStringList ids;
    ids.SetText(GetDeviceIdList(child, "\r\n", true));
    if (ids.Count() == 0) ids.SetText(GetDeviceIdList(child, "\r\n", false));
    for (int i = 0; i < ids.Count(); ++i) {
      const std::string letter = manager->FindDriveLetter(ids.Strings(i));
      if (!letter.empty()) Disks += letter + ": ";
    }
  }
}

}  // namespace kv
