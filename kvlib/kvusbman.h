// The USB topology: host controllers, hubs, ports, the devices on the ports
// and their pipes, read from the host-controller and hub drivers, with the
// drive letters of storage devices.
//
// One process-wide manager (USBManager()) owns the whole tree and rebuilds it
// on every Refresh; every node reference held elsewhere dies with the next
// Refresh. Ownership runs manager -> hosts -> root hub -> ports -> attached
// node (a device with its pipes, or a hub with its ports); the back
// references (Manager, Host, ParentPort, Hub, Port, Device) are never owned.
//
// Reads never raise and never report: a request that fails leaves an empty
// field, a missing node or a smaller tree. The nodes add no virtual
// operations; a node's class is tested at run time, hubs first (a hub is also
// a device).
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "kvclasses.h"
#include "kvframework.h"
#include "kvusbw32.h"

namespace kv {

class TkvUSBManager;
class TkvUsbHost;
class TkvUsbHub;
class TkvUsbPort;
class TkvUsbDevice;

// Names of the connection speed codes and of the pipe transfer types
// (TkvUsbPipe::TransferType; 0 is a pipe without descriptor).
extern const char* const UsbSpeedNames[3];
extern const char* const UsbTransferTypeNames[5];
// The speed's name; a code beyond the table (later systems know faster
// buses) is written as its number.
std::string UsbSpeedName(BYTE Speed);
std::string UsbTransferTypeName(int TransferType);

// Hubs nested deeper than this below the root hub are not opened. USB allows
// five; anything deeper is a driver reporting a loop.
constexpr int kMaxHubDepth = 7;

class TkvUsbPipe : public TkvDevice {
 public:
  TkvUsbDevice* Device = nullptr;
  // The 7-byte endpoint descriptor inside the port's ConnectionInfo (not a
  // copy; the port outlives the device and its pipes). nullptr: none.
  const BYTE* Descriptor = nullptr;

  WORD MaxPacketSize() const;
  // bmAttributes bits 0..1 plus one (1 control .. 4 interrupt); 0 without descriptor.
  int TransferType() const;
  bool IsIn() const;
  bool IsOut() const;
  BYTE EndpointAddress() const;
};

class TkvUsbDevice : public TkvDevice {
 public:
  TkvUsbDevice();
  ~TkvUsbDevice() override;
  TkvUsbDevice(const TkvUsbDevice&) = delete;
  TkvUsbDevice& operator=(const TkvUsbDevice&) = delete;

  TkvUsbPort* Port = nullptr;  // nullptr for a hub (see TkvUsbHub::ParentPort)
  // String descriptors 1, 2, 3 ... as ReadStrings read them; entry k-1 is string k.
  TStringList Strings;
  // The configuration descriptor's first bytes (two-step request), or none.
  std::unique_ptr<TkvUsbDescriptorBlock> ConfigDescriptor;
  WORD IdVendor = 0;
  WORD IdProduct = 0;
  WORD MaxPacketSize = 0;
  BYTE Speed = 0;
  BYTE VersionMajor = 0;
  BYTE VersionMinor = 0;
  std::string Disks;  // each drive letter followed by ": "

  // Fills a new device node from its port's connection information.
  void ReadInfo();
  void ClearInfo();
  int AddPipe();
  int PipeCount() const { return static_cast<int>(FPipes.size()); }
  TkvUsbPipe* GetPipe(int Index) const;

  // From the configuration descriptor; 0 / false without one. MaxPower is in
  // mA (bMaxPower counts 8 mA from USB 3.0 on, 2 mA before).
  int MaxPower() const;
  bool IsBusPowered() const;
  bool IsSelfPowered() const;
  bool IsRemoteWakeup() const;

  // Reads the string descriptors into Strings and sets Manufacturer,
  // Description and SerialNumber from them. Also run by the browser's
  // "Reload Descriptors" between refreshes.
  void ReadStrings();
  // One string descriptor (language id 0) as 8-bit text, "" when there is none.
  std::string ReadString(HANDLE HubHandle, BYTE Index);
  // Builds Disks from the drive identities of the manager (storage devices).
  void FindDisks();

  // Port -> Hub -> Host -> Manager; nullptr for a node outside a topology.
  TkvUSBManager* Manager() const;

 private:
  BYTE ConfigByte(std::size_t i) const;
  HANDLE OpenHub() const;
  std::vector<std::unique_ptr<TkvUsbPipe>> FPipes;
};

class TkvUsbHub : public TkvUsbDevice {
 public:
  TkvUsbHub();
  ~TkvUsbHub() override;

  TkvUsbHost* Host = nullptr;
  TkvUsbPort* ParentPort = nullptr;  // nullptr for a root hub
  TkvUsbNodeInformation NodeInformation;

  int PortCount() const { return static_cast<int>(FPorts.size()); }
  // 0-based: GetPort(i) has PortNumber i+1. nullptr out of range.
  TkvUsbPort* GetPort(int Index) const;
  int AddPort();
  void ClearPorts();
  // Reads the node information and every port (child hubs depth first).
  void ReadPorts(HANDLE Handle);
  // bHubControlCurrent, in mA.
  int MaxPower() const { return NodeInformation.HubControlCurrent(); }
  // Number of hubs above this one (0 for a root hub).
  int Depth() const;

 private:
  std::vector<std::unique_ptr<TkvUsbPort>> FPorts;
};

class TkvUsbPort : public TkvDevice {
 public:
  TkvUsbPort();
  ~TkvUsbPort() override;
  TkvUsbPort(const TkvUsbPort&) = delete;
  TkvUsbPort& operator=(const TkvUsbPort&) = delete;

  TkvUsbHub* Hub = nullptr;
  int PortNumber = 0;
  TkvUsbConnectionInfo ConnectionInfo;
  // Bytes of ConnectionInfo that the hub returned (0 until read or when both
  // requests failed).
  DWORD ConnectionInfoLength = 0;

  int NodeCount() const { return static_cast<int>(FNodes.size()); }
  // A TkvUsbDevice or a TkvUsbHub; nullptr out of range.
  TkvUsbDevice* GetNode(int Index) const;
  void ClearNodes();
  void ReadConnection(HANDLE Handle);
  // Pipe entries that both NumberOfOpenPipes names and the reply holds.
  int OpenPipeEntries() const;

 private:
  std::vector<std::unique_ptr<TkvUsbDevice>> FNodes;
};

class TkvUsbHost : public TkvDevice {
 public:
  explicit TkvUsbHost(TkvUSBManager* manager);
  ~TkvUsbHost() override;
  TkvUsbHost(const TkvUsbHost&) = delete;
  TkvUsbHost& operator=(const TkvUsbHost&) = delete;

  TkvUSBManager* Manager;

  int HubCount() const { return static_cast<int>(FHubs.size()); }
  TkvUsbHub* GetHub(int Index) const;
  void ClearHubs();
  void ReadRootHub(HANDLE Handle);

 private:
  std::vector<std::unique_ptr<TkvUsbHub>> FHubs;
};

// Opens \\.\HubName and reads all its ports; nullptr when it cannot be opened.
std::unique_ptr<TkvUsbHub> OpenHub(TkvUsbHost* Host, const std::string& HubName, TkvUsbPort* ParentPort);

class TkvUSBManager : public TObject {
 public:
  // How a refresh finds the description of a driver key: Indexed walks the
  // devnode tree once per refresh; Walk walks it for every lookup (kept to
  // measure against). Both give the same texts.
  enum class TDescriptionLookup { Indexed, Walk };

  TkvUSBManager();
  ~TkvUSBManager() override;
  TkvUSBManager(const TkvUSBManager&) = delete;
  TkvUSBManager& operator=(const TkvUSBManager&) = delete;

  // Devices without a driver key are named from their string descriptors.
  bool RequestDescriptors = false;
  // One entry per device record of the class enumerations: text = DriverKey,
  // object = the record (owned); unsorted, duplicates kept.
  TStringList DeviceRecords{true};
  // One entry per local drive letter: the volume identity in lower case
  // (object: a TkvDriveLetter), or the bare letter when none is known.
  TStringList Drives{true};
  TkvCustomLogFile* Log = nullptr;  // not owned; EnumDisks writes to it
  TDescriptionLookup DescriptionLookup = TDescriptionLookup::Indexed;

  // Discards the topology and builds it again, under the process-wide lock.
  void Refresh();
  void Clear();
  // Counts the topologies: every Refresh and Clear frees the records and
  // moves it on, so a holder of ids or texts can tell that what it shows is
  // gone.
  unsigned Generation() const { return FGeneration.load(); }
  int HostCount() const { return static_cast<int>(FHosts.size()); }
  TkvUsbHost* GetHost(int Index) const;
  // The first record whose key equals DriverKey without regard to case.
  TkvDevice* FindDeviceRecord(const std::string& DriverKey);
  // Builds Drives.
  void EnumDisks();
  // The letter of the drive whose identity matches DeviceId, or "".
  std::string FindDriveLetter(const std::string& DeviceId) const;
  // GetDriverKeyDescription, answered from this refresh's index.
  std::string DriverKeyDescription(const std::string& DriverKey);

 private:
  struct TRefreshIndexes;
  std::vector<std::unique_ptr<TkvUsbHost>> FHosts;
  std::unique_ptr<TRefreshIndexes> FIndexes;  // only while Refresh runs
  std::atomic<unsigned> FGeneration{0};
};

// The object of a Drives entry: its drive letter.
class TkvDriveLetter : public TObject {
 public:
  explicit TkvDriveLetter(char letter) : Letter(letter) {}
  char Letter;
};

// The process-wide manager, created with its lock on the first call and freed
// at program end.
TkvUSBManager& USBManager();

}  // namespace kv
