// Drive letters of storage devices: identities of the mounted-devices table,
// the two matching passes, and the walk from a device to its volumes.
#include "topofixture.h"

namespace kvtest {
namespace {

class TLog : public kv::TkvCustomLogFile {
 public:
  TLog() : kv::TkvCustomLogFile(nullptr) {}
  void WriteBlank() override { Lines.push_back(""); }
  void Write(kv::BYTE level, const std::string& text) override {
    Lines.push_back(std::to_string(level) + ":" + text);
  }
  void WriteFmt(kv::BYTE level, const std::string& format, const kv::TVarRecs& args) override {
    Write(level, kv::Format(format, args));
  }
  std::vector<std::string> Lines;
};

const char* const kVolumeGuid = "#{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";

class DisksTest : public TopologyTest {
 protected:
  std::string DriveText(char letter) const {
    for (int i = 0; i < Manager.Drives.Count(); ++i) {
      const auto* d = Manager.Drives.ObjectAs<kv::TkvDriveLetter>(i);
      const std::string& t = Manager.Drives.Strings(i);
      if ((d && d->Letter == letter) || t == std::string(1, letter)) return t;
    }
    return "(no entry)";
  }

  // A storage device on port `port` of a root hub: its disk below it and the
  // disk's volumes below that.
  kv::TkvSimDevnode& Stick(kv::TkvSimUsbHub& hub, int port, int key, const std::string& service,
                           const std::vector<std::string>& volumes, kv::TkvSimDevnode* parent = nullptr) {
    Device(hub, port, key, "Stick " + std::to_string(key), parent, service);
    kv::TkvSimDevnode& stick = *M->FindDevnode("USB\\VID_16C0&PID_" + std::to_string(key) + "\\" + std::to_string(key));
    kv::TkvSimDevnode& disk =
        Devnode("USBSTOR\\DISK\\" + std::to_string(key), "", "Disk", &stick, "{4D36E967-E325-11CE-BFC1-08002BE10318}");
    for (const std::string& v : volumes) Devnode(v, "", "Volume", &disk, "{71A27CDD-812A-11D0-BEC7-08002BE2092F}");
    return disk;
  }
};

TEST_F(DisksTest, DriveIdentities) {
  M->SetDrive('A', kv::DRIVE_REMOVABLE);
  M->SetDrive('C', kv::DRIVE_FIXED);
  M->SetDrive('D', kv::DRIVE_CDROM);
  M->SetDrive('E', kv::DRIVE_REMOVABLE);
  M->SetDrive('F', kv::DRIVE_FIXED);
  M->SetDrive('G', kv::DRIVE_RAMDISK);
  M->SetDrive('Z', kv::DRIVE_REMOTE);
  kv::SetMountedDeviceMbr(*M, 'C', 0x1A2B3C4D, 0x7E00);
  kv::SetMountedDevicePath(*M, 'E', std::string("\\??\\STORAGE#RemovableMedia#7&1A2B&0&RM") + kVolumeGuid);
  kv::SetMountedDeviceMbr(*M, 'F', 0x1A2B3C4D, 0);
  kv::SetMountedDeviceMbr(*M, 'G', 0x00000001, 0x100000);
  kv::SetMountedDevicePath(*M, 'Z', "\\??\\NETWORK#share");
  M->SetBinary(kv::HKEY_LOCAL_MACHINE, "SYSTEM\\MountedDevices", "\\DosDevices\\D:", {'\\', 0, '?', 0, 0, 0, 'X', 0});
  TLog log;
  Manager.Log = &log;
  Refresh();

  EXPECT_EQ(Manager.Drives.Count(), 6) << "the network drive is left out";
  EXPECT_EQ(DriveText('A'), "A") << "no mounted-devices value: the bare letter";
  EXPECT_EQ(DriveText('C'), "signature1a2b3c4doffset7e00");
  EXPECT_EQ(DriveText('D'), "\\?") << "a path ends at its first zero character";
  EXPECT_EQ(DriveText('E'), std::string("storage\\removablemedia\\7&1a2b&0&rm\\{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}"));
  EXPECT_EQ(DriveText('F'), "signature1a2b3c4doffset");
  EXPECT_EQ(DriveText('G'), "signature1offset100000");
  EXPECT_EQ(Manager.Drives.Objects(0), nullptr);
  ASSERT_EQ(log.Lines.size(), 1u);
  EXPECT_EQ(log.Lines[0], "0:EnumDisks GetDiVolums: A\r\nC\r\nD\r\nE\r\nF\r\nG\r\n");
}

TEST_F(DisksTest, FindDriveLetterPasses) {
  M->SetDrive('A', kv::DRIVE_REMOVABLE);
  M->SetDrive('C', kv::DRIVE_FIXED);
  M->SetDrive('E', kv::DRIVE_REMOVABLE);
  M->SetDrive('F', kv::DRIVE_FIXED);
  M->SetDrive('G', kv::DRIVE_FIXED);
  kv::SetMountedDeviceMbr(*M, 'C', 0x5A1B2C3D, 0x7E00);
  kv::SetMountedDevicePath(*M, 'E', std::string("\\??\\STORAGE#RemovableMedia#7&1A2B&0&RM") + kVolumeGuid);
  kv::SetMountedDeviceMbr(*M, 'F', 0x00FFFFFF, 0x10000);
  kv::SetMountedDeviceMbr(*M, 'G', 0x00EEEEEE, 0);
  M->SetDrive('Q', kv::DRIVE_REMOVABLE);  // no mounted-devices value
  Refresh();

  struct TCase {
    const char* Id;
    const char* Letter;
  };
  const TCase cases[] = {
      {"STORAGE\\VOLUME\\1&30A96598&0&SIGNATURE5A1B2C3DOFFSET7E00LENGTH7470C05A00", "C"},  // identity in the id
      {"STORAGE\\RemovableMedia\\7&1A2B&0&RM", "E"},                                      // the id in the identity
      {"\\??\\STORAGE#REMOVABLEMEDIA#7&1A2B&0&RM", "E"},                                   // a path, made an id
      {"STORAGE\\VOLUME\\SOMETHING\\10000", "F"},       // second pass: the offset ends the id
      {"STORAGE\\VOLUME\\10000\\SOMETHING", ""},        // ... and only at its end
      {"STORAGE\\VOLUME\\SIGNATUREEEEEEEOFFSET", "G"},  // a zero offset still matches whole
      {"Q", ""},                                        // bare letters never match
      {"", ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Id);
    EXPECT_EQ(Manager.FindDriveLetter(c.Id), c.Letter);
  }
}

TEST_F(DisksTest, StorageDevicesFindTheirVolumes) {
  M->SetDrive('C', kv::DRIVE_FIXED);
  M->SetDrive('E', kv::DRIVE_REMOVABLE);
  M->SetDrive('F', kv::DRIVE_REMOVABLE);
  M->SetDrive('H', kv::DRIVE_REMOVABLE);
  kv::SetMountedDevicePath(*M, 'E', std::string("\\??\\STORAGE#RemovableMedia#7&E&0&RM") + kVolumeGuid);
  kv::SetMountedDevicePath(*M, 'F', std::string("\\??\\STORAGE#RemovableMedia#7&F&0&RM") + kVolumeGuid);
  kv::SetMountedDeviceMbr(*M, 'C', 0x12345678, 0x8000);
  kv::SetMountedDevicePath(*M, 'H', std::string("\\??\\STORAGE#RemovableMedia#7&H&0&RM") + kVolumeGuid);
  kv::TkvSimUsbHub& hub = Host(0, 5);
  Stick(hub, 1, 20, "USBSTOR", {"STORAGE\\RemovableMedia\\7&E&0&RM", "STORAGE\\RemovableMedia\\7&F&0&RM"});
  // Volumes reached only through the disk's removal relations.
  kv::TkvSimDevnode& disk = Stick(hub, 2, 21, "UsbStor", {});
  disk.BusRelations = std::vector<std::string>{};
  disk.RemovalRelations = {"STORAGE\\VOLUME\\1&30&0&SIGNATURE12345678OFFSET8000LENGTH100"};
  // Same volumes, but a service that has no disks.
  Stick(hub, 3, 22, "WinUSB", {"STORAGE\\RemovableMedia\\7&H&0&RM"});
  Stick(hub, 4, 23, "USBCCGP", {"STORAGE\\RemovableMedia\\7&H&0&RM"});
  Stick(hub, 5, 24, "USBSTOR", {"STORAGE\\RemovableMedia\\7&NONE&0&RM"});
  Refresh();

  EXPECT_EQ(DeviceAt(1)->Disks, "E: F: ");
  EXPECT_EQ(DeviceAt(2)->Disks, "C: ");
  EXPECT_EQ(DeviceAt(3)->Disks, "");
  EXPECT_EQ(DeviceAt(4)->Disks, "H: ");
  EXPECT_EQ(DeviceAt(5)->Disks, "");
  // Strings re-read later do not recompute the disks.
  DeviceAt(1)->ReadStrings();
  EXPECT_EQ(DeviceAt(1)->Disks, "E: F: ");
}

TEST_F(DisksTest, FailingIdListsGiveNoDisks) {
  M->SetDrive('E', kv::DRIVE_REMOVABLE);
  kv::SetMountedDevicePath(*M, 'E', std::string("\\??\\STORAGE#RemovableMedia#7&E&0&RM") + kVolumeGuid);
  kv::TkvSimUsbHub& hub = Host(0, 1);
  Stick(hub, 1, 20, "USBSTOR", {"STORAGE\\RemovableMedia\\7&E&0&RM"});
  Refresh();
  ASSERT_EQ(DeviceAt(1)->Disks, "E: ");
  M->Fail("CM_Get_Device_ID_ListA", kv::CR_FAILURE);
  Refresh();
  EXPECT_EQ(DeviceAt(1)->Disks, "");
  M->ClearFailures();
  M->Fail("RegQueryValueExA", kv::ERROR_ACCESS_DENIED);
  Refresh();
  EXPECT_EQ(Manager.Drives.Strings(0), "E");
  EXPECT_EQ(DeviceAt(1)->Disks, "");
}

}  // namespace
}  // namespace kvtest
