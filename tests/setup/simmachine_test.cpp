// Machine descriptions: the demo machine, and faults in hand-written ones.
#include <stdexcept>

#include "simfixture.h"

namespace kvtest {
namespace {

std::string Repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

std::string DeepDevnodes(int depth) {
  std::string open, close;
  for (int i = 0; i < depth; ++i) {
    open += "{\"id\": \"X\\\\" + std::to_string(i) + "\", \"children\": [";
    close += "]}";
  }
  return "{\"devnodes\": [" + open + close + "]}";
}

TEST(DescriptionTest, DemoMachineShowsItsUsbControllersAndDrives) {
  kv::TkvSimMachine& demo = kv::DemoMachine();
  kv::TkvMachineScope scope(demo);
  kv::TStringList usb(true);
  kv::EnumDevices(&kUsbClass, true, true, false, usb);
  EXPECT_GE(usb.Count(), 10) << demo.Dump();
  EXPECT_GE(usb.IndexOf("{36FC9E60-C465-11CF-8056-444553540000}\\0000"), 0);
  EXPECT_TRUE(demo.FindDevnode("USBSTOR\\DISK&VEN_SANDISK&PROD_CRUZER_BLADE&REV_1.00\\4C530001230915117385&0"));
  EXPECT_EQ(kv::GetDeviceIdList("USBSTOR\\DISK&VEN_SANDISK&PROD_CRUZER_BLADE&REV_1.00\\4C530001230915117385&0", ";",
                                false),
            "STORAGE\\REMOVABLEMEDIA\\7&1A2B3C4D&0&RM");
  kv::OSVERSIONINFOA v{};
  v.dwOSVersionInfoSize = sizeof(v);
  ASSERT_TRUE(demo.GetVersionExA(&v));
  EXPECT_EQ(v.dwBuildNumber, 2600u);
  EXPECT_NE(demo.GetLogicalDrives() & (1u << ('E' - 'A')), 0u);
}

TEST(DescriptionTest, FaultsAreNamed) {
  struct Case {
    const char* label;
    std::string json;  // empty: devnodes nested 10,000 deep
    std::string mentions;
  };
  const Case cases[] = {
      {"not JSON", "{\"name\": ", "not valid JSON"},
      {"unknown entry", "{\"nmae\": \"x\"}", "\"nmae\""},
      {"bad GUID", "{\"devnodes\": [{\"id\": \"A\\\\1\", \"class\": \"{123}\"}]}", "devnodes[0].class"},
      {"duplicate id", "{\"devnodes\": [{\"id\": \"A\\\\1\"}, {\"id\": \"a\\\\1\"}]}", "appears twice"},
      {"devnode without id", "{\"devnodes\": [{\"children\": []}]}", "needs an \"id\""},
      {"bad drive", "{\"drives\": {\"1\": \"fixed\"}}", "drives.1"},
      {"bad drive type", "{\"drives\": {\"C\": \"floppy\"}}", "drive type"},
      {"bad registry root", "{\"registry\": {\"HKXX\\\\A\": {}}}", "registry path starts"},
      {"odd hex", "{\"registry\": {\"HKLM\\\\A\": {\"v\": {\"binary\": \"0\"}}}}", "odd number"},
      {"wrong kind", "{\"windows\": {\"major\": \"five\"}}", "windows.major"},
      {"wrong kind deep down", "{\"devnodes\": [{\"id\": \"A\", \"present\": \"yes\"}]}", "machine description"},
      {"veto without count", "{\"devnodes\": [{\"id\": \"A\", \"ejectVeto\": {\"name\": \"x\"}}]}",
       "devnodes[0].ejectVeto.count"},
      {"package without service", "{\"driverPackages\": {\"a.inf\": 1}}", "driverPackages.a.inf"},
      {"unknown code page", "{\"codePage\": 437}", "codePage: must be one of 1250, 1251, 1252, 65001"},
      {"devnodes 10,000 deep", "", "devnodes[0]" + Repeat(".children[0]", 256) + ": devnodes nest at most 256 deep"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    try {
      kv::TkvSimMachine::FromJson(c.json.empty() ? DeepDevnodes(10000) : c.json);
      ADD_FAILURE() << "accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.mentions), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(kv::TkvSimMachine::FromFile("/no/such/machine.json"), std::runtime_error);
  // A folder is not a description, and the message says which folder.
  try {
    kv::TkvSimMachine::FromFile(".");
    ADD_FAILURE() << "a folder was loaded";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "machine description: \".\" is a folder, not a file");
  }
}

TEST(DescriptionTest, ValuesAndServicesFromADescription) {
  auto m = kv::TkvSimMachine::FromJson(R"({
    "name": "small",
    "services": {"configManagerInSetupApi": false, "missingLibraries": ["newdev.dll"]},
    "registry": {"HKLM\\SOFTWARE\\A": {"S": "text", "N": {"sz": "t", "terminated": false},
                                       "B": {"binary": "01 02"}, "W": {"binaryText": "\\??\\X"},
                                       "D": {"dword": 7}, "M": {"multiSz": ["a", "b"]}}},
    "driverPackages": {"C:\\p\\w.inf": "WinUSB"},
    "devnodes": [{"id": "ROOT\\X\\0", "present": false, "parameters": {"PortName": "COM9"}},
                 {"id": "USB\\Y\\1", "disabled": true, "ejectVeto": {"count": 2, "name": "Disk Y"}}]
  })");
  kv::TkvMachineScope scope(*m);
  EXPECT_EQ(m->Name(), "small");
  EXPECT_EQ(kv::ReadRegistryString(kv::HKEY_LOCAL_MACHINE, "SOFTWARE\\A", "S"), "text");
  EXPECT_EQ(kv::ReadRegistryString(kv::HKEY_LOCAL_MACHINE, "SOFTWARE\\A", "N"), "t");
  EXPECT_EQ(kv::ReadRegistryString(kv::HKEY_LOCAL_MACHINE, "SOFTWARE\\A", "B"), "\x01\x02");
  EXPECT_EQ(kv::ReadRegistryString(kv::HKEY_LOCAL_MACHINE, "SOFTWARE\\A", "W"), std::string("\\\0?\0?\0\\\0X\0", 10));
  EXPECT_EQ(kv::ReadRegistryString(kv::HKEY_LOCAL_MACHINE, "SOFTWARE\\A", "D"), std::string("\x07\0\0\0", 4));
  EXPECT_EQ(kv::ReadRegistryString(kv::HKEY_LOCAL_MACHINE, "SOFTWARE\\A", "M"), std::string("a\0b\0\0", 5));
  EXPECT_EQ(m->LoadLibraryA("newdev.dll"), nullptr);
  EXPECT_EQ(kv::GetLastError(), kv::ERROR_MOD_NOT_FOUND);
  ASSERT_TRUE(kv::LoadSetupApi());
  EXPECT_EQ(m->LoadCount("cfgmgr32"), 1u);
  EXPECT_EQ(kv::ReadRegistryString(kv::HKEY_LOCAL_MACHINE,
                                   "SYSTEM\\ControlSet001\\Enum\\ROOT\\X\\0\\Device Parameters", "PortName"),
            "COM9");
  kv::TkvSimDevnode* y = m->FindDevnode("USB\\Y\\1");
  ASSERT_NE(y, nullptr);
  EXPECT_TRUE(y->Disabled);
  EXPECT_EQ(y->EjectVetoes, 2);
  EXPECT_EQ(y->VetoName, "Disk Y");
}

// A failure armed under a misspelt name would never fire: it is refused. The
// dump shows what is armed and what is missing, for failure messages.
TEST(DescriptionTest, FailuresNeedAKnownNameAndShowInTheDump) {
  kv::TkvSimMachine m;
  EXPECT_THROW(m.Fail("RegOpenKeyEx", kv::ERROR_ACCESS_DENIED), std::invalid_argument);
  EXPECT_THROW(m.Fail("SetupDiGetClassDevs", kv::ERROR_GEN_FAILURE), std::invalid_argument);
  m.Fail("RegOpenKeyExA", kv::ERROR_ACCESS_DENIED, 2);
  m.Fail("SetupDiGetClassDevsA", kv::ERROR_GEN_FAILURE);  // an entry point of a library
  m.Fail("CM_Get_Child", kv::ERROR_GEN_FAILURE);
  m.RemoveLibrary("newdev.dll");
  m.RemoveExport("SetupAPI.dll", "SetupDiRemoveDevice");
  const std::string dump = m.Dump();
  EXPECT_NE(dump.find("armed failures: CM_Get_Child (error 31, always) RegOpenKeyExA (error 5, 2 more) "
                      "SetupDiGetClassDevsA (error 31, always)"),
            std::string::npos)
      << dump;
  EXPECT_NE(dump.find("missing libraries: newdev.dll"), std::string::npos) << dump;
  EXPECT_NE(dump.find("missing entries: SetupAPI.dll!SetupDiRemoveDevice"), std::string::npos) << dump;
  kv::HKEY key = nullptr;
  EXPECT_EQ(m.RegOpenKeyExA(kv::HKEY_LOCAL_MACHINE, "SYSTEM", 0, kv::KEY_READ, &key), 5);
  EXPECT_EQ(m.RegOpenKeyExA(kv::HKEY_LOCAL_MACHINE, "SYSTEM", 0, kv::KEY_READ, &key), 5);
  EXPECT_EQ(m.Dump().find("RegOpenKeyExA (error"), std::string::npos) << "used up: no longer armed\n" << m.Dump();
}

TEST(DescriptionTest, HandlesOfTheMachineAreChecked) {
  kv::TkvSimMachine m;
  kv::SetLastError(0);
  EXPECT_FALSE(m.CloseHandle(reinterpret_cast<kv::HANDLE>(0x1234)));
  EXPECT_EQ(kv::GetLastError(), kv::ERROR_INVALID_HANDLE);
  EXPECT_EQ(m.CreateFileA("\\\\.\\HCD0", kv::GENERIC_READ, 0, nullptr, kv::OPEN_EXISTING, 0, nullptr),
            kv::INVALID_HANDLE_VALUE);
  EXPECT_EQ(kv::GetLastError(), kv::ERROR_FILE_NOT_FOUND);
  kv::DWORD got = 0;
  EXPECT_FALSE(m.DeviceIoControl(kv::INVALID_HANDLE_VALUE, 0x220424, nullptr, 0, nullptr, 0, &got, nullptr));
  EXPECT_EQ(m.RegCloseKey(reinterpret_cast<kv::HKEY>(0x55)), static_cast<kv::LONG>(kv::ERROR_INVALID_HANDLE));
  kv::HKEY key = nullptr;
  EXPECT_EQ(m.RegOpenKeyExA(reinterpret_cast<kv::HKEY>(0x55), "X", 0, kv::KEY_READ, &key),
            static_cast<kv::LONG>(kv::ERROR_INVALID_HANDLE));
}

}  // namespace
}  // namespace kvtest
