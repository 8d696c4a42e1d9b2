// Capturing a machine: what a refresh reads, written as a description that
// replays the same tree and rows, and a capture that changes nothing.
#include <cstdio>

#include <nlohmann/json.hpp>

#include "kvresources.h"
#include "sim/kvsimjsonwriter.h"
#include "sim/kvsimrecorder.h"
#include "topofixture.h"
#include "../common/kvtestrows.h"

extern const char kvDemoMachineJson[];

namespace kvtest {
namespace {

std::string Refresh(kv::TkvMachine& machine, bool descriptors) { return kv::test::ConsoleRows(machine, descriptors); }

// Refreshes through a recorder and returns the capture; *shown gets what the
// refresh showed meanwhile.
std::string Capture(kv::TkvSimMachine& machine, bool descriptors, std::string* shown, bool keepSerials = true) {
  kv::TkvRecordingMachine recorder(machine);
  *shown = Refresh(recorder, descriptors);
  kv::TkvCaptureOptions options;
  options.Name = machine.Name();
  options.KeepSerials = keepSerials;
  options.CodePage = machine.CodePage();
  return recorder.Describe(options).Json;
}

const char* const kFaultyBuses = R"({
  "name": "faulty buses",
  "usb": {"controllers": [
    {"number": 3, "driver": "{K}\\0", "rootHub": {
      "name": "R", "ports": 4, "exRequest": false, "hubControlCurrent": 7, "devices": [
        {"port": 1, "vendorId": "046D", "speed": "low", "openPipes": 40,
         "productIndex": 2, "manufacturerIndex": 1, "serialIndex": 3,
         "pipes": [{"address": "81", "type": "interrupt", "maxPacketSize": 8}],
         "strings": ["A", null, "C"], "descriptors": {"0302": "07 03 41 00 42 00 43"}},
        {"port": 2, "fail": ["IOCTL_USB_GET_NODE_CONNECTION_NAME"], "hub": {"name": "H", "ports": 1}},
        {"port": 3, "hub": {"name": "GONE", "ports": 1, "openable": false}},
        {"port": 4, "openPipes": 31, "configDescriptor": "00 02", "productIndex": 1,
         "short": {"IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION": 13}}]}},
    {"number": 5, "rootHubName": "MISSING", "fail": ["IOCTL_GET_HCD_DRIVERKEY_NAME"]}]}
})";

// Texts outside ASCII in a code page of their own, an older Windows, a
// service missing, and devnodes that only the class enumeration reaches.
const char* const kCyrillic = R"({
  "name": "Машина", "codePage": 1251,
  "windows": {"major": 6, "minor": 0, "build": 6002, "platform": 2, "servicePack": "Service Pack 2", "wow64": true},
  "drives": {"C": "fixed", "F": "removable"},
  "services": {"missingLibraries": ["newdev.dll"], "configManagerInSetupApi": false},
  "registry": {"HKLM\\SYSTEM\\MountedDevices": {"\\DosDevices\\F:": {"binary": "01 02 03 04 00 7E 00 00 00 00 00 00"}}},
  "devnodes": [
    {"id": "PCI\\VEN_1\\0", "class": "{36FC9E60-C465-11CF-8056-444553540000}", "driver": "{36FC9E60-C465-11CF-8056-444553540000}\\0000",
     "description": "Контроллер USB", "manufacturer": "Завод", "children": [
      {"id": "USB\\ROOT_HUB\\1", "class": "{36FC9E60-C465-11CF-8056-444553540000}", "driver": "{36FC9E60-C465-11CF-8056-444553540000}\\0001",
       "description": "Корневой концентратор", "parameters": {"SymbolicName": "\\??\\корень"}, "children": [
        {"id": "USB\\VID_0781&PID_5567\\SN12345", "class": "{36FC9E60-C465-11CF-8056-444553540000}",
         "driver": "{36FC9E60-C465-11CF-8056-444553540000}\\0002", "description": "Флешка", "service": "USBSTOR",
         "busRelations": ["USBSTOR\\DISK\\SN12345&0"]}]}]},
    {"id": "ROOT\\LEGACY\\0", "class": "{4D36E978-E325-11CE-BFC1-08002BE10318}", "description": "Порт", "hardwareKey": false}],
  "usb": {"controllers": [{"number": 0, "driver": "{36FC9E60-C465-11CF-8056-444553540000}\\0000", "rootHub": {
    "name": "USB#ROOT_HUB#1", "ports": 2, "devices": [
      {"port": 2, "vendorId": "0781", "productId": "5567",
       "manufacturerIndex": 1, "productIndex": 2, "serialIndex": 3, "strings": ["Фирма", "Флешка 😀", "SN12345"]}]}}]}
})";

// The demo machine with thousands of devnodes and a controller of 200
// devices more: large machines are described on two threads, and the
// recording's tables and blocks grow many times over.
std::string CrowdedDemo() {
  nlohmann::ordered_json demo = nlohmann::ordered_json::parse(kvDemoMachineJson);
  for (int i = 0; i < 2000; ++i)
    demo["devnodes"].push_back({{"id", "ACPI\\PNP" + std::to_string(i) + "\\0"},
                                {"class", "{4D36E97D-E325-11CE-BFC1-08002BE10318}"},
                                {"description", "System device " + std::to_string(i)}});
  nlohmann::ordered_json devices = nlohmann::ordered_json::array();
  for (int port = 1; port <= 200; ++port)
    devices.push_back({{"port", port}, {"vendorId", "16C0"}, {"productId", "05DC"}, {"manufacturerIndex", 1},
                       {"productIndex", 2}, {"serialIndex", 3},
                       {"strings", {"Maker", "Device " + std::to_string(port), "SN" + std::to_string(100000 + port)}}});
  demo["usb"]["controllers"].push_back(
      {{"number", 9}, {"rootHub", {{"name", "CROWDED"}, {"ports", 200}, {"devices", devices}}}});
  return demo.dump();
}

TEST(CaptureTest, CaptureReplaysTheSameTreeAndCapturesItselfAgain) {
  struct TCase {
    const char* Name;
    std::string Json;
  };
  const TCase cases[] = {{"demo", kvDemoMachineJson},
                         {"faulty buses", kFaultyBuses},
                         {"cyrillic", kCyrillic},
                         {"crowded demo", CrowdedDemo()}};
  for (const TCase& c : cases) {
    for (bool descriptors : {false, true}) {
      SCOPED_TRACE(std::string(c.Name) + (descriptors ? " with descriptors" : ""));
      auto original = kv::TkvSimMachine::FromJson(c.Json);
      kv::host::SetAnsiCodePage(original->CodePage());
      const std::string expected = Refresh(*original, descriptors);
      ASSERT_NE(expected.find("Port #"), std::string::npos);
      std::string shown;
      const std::string first = Capture(*original, descriptors, &shown);
      EXPECT_EQ(shown, expected) << "the recorder changes what the library reads";

      auto replay = kv::TkvSimMachine::FromJson(first);
      EXPECT_EQ(Refresh(*replay, descriptors), expected) << first;
      EXPECT_EQ(Capture(*replay, descriptors, &shown), first) << "a capture of the replay differs";
      kv::host::SetAnsiCodePage(1252);
    }
  }
}

// The description is written member by member; it must read exactly as the
// JSON library writes the same tree, escapes and replaced bytes included.
TEST(CaptureTest, WriterLaysOutTextsAsTheJsonLibraryDoes) {
  using ojson = nlohmann::ordered_json;
  const std::string texts[] = {"",
                               "plain text",
                               "USB\\VID_0781&PID_5567\\SN1 \"quoted\"",
                               std::string("\x01\x1F\b\f\n\r\t\x7F end", 12),
                               std::string("nul \0 inside", 12),
                               "tab\tonly",
                               "unit \x1F only",
                               "\xD0\xA4\xD0\xBB\xD0\xB5\xD1\x88\xD0\xBA\xD0\xB0 \xF0\x9F\x98\x80",  // Флешка 😀
                               "bad \xFF byte",
                               "cut \xC3",
                               "cut \xE2\x82 inside",
                               "surrogate \xED\xA0\x80",
                               "overlong \xC0\xAF",
                               "mixed \xFE\\ \x01\xF0\x9F\x98"};
  ojson tree = ojson::object();
  kv::TkvJsonWriter out;
  out.BeginObject();
  // Members with tricky keys and values, a member taken back, a list of all.
  for (const std::string& t : texts) {
    tree["k" + t] = t;
    out.Key("k" + t).String(t);
    const kv::TkvJsonWriter::TMark mark = out.Mark();
    out.Key("dropped").BeginArray().Number(1).End();
    out.Rewind(mark);
  }
  tree["all"] = ojson::array();
  out.Key("all").BeginArray();
  for (const std::string& t : texts) {
    tree["all"].push_back(t);
    out.String(t);
  }
  out.End();
  // Empty containers, the other kinds of value, a tree written inside, and a
  // part written by a writer of its own depth.
  ojson small = {{"n", 4294967295u}, {"nested", {{"list", {1, "two", nullptr, false}}, {"empty", ojson::object()}}}};
  tree["empty"] = {{"object", ojson::object()}, {"array", ojson::array()}};
  tree["values"] = {0u, 18446744073709551615u, true, false, nullptr};
  tree["tree"] = small;
  tree["part"] = {{"inner", texts[2]}, {"tree", small}};
  out.Key("empty").BeginObject().Key("object").BeginObject().End().Key("array").BeginArray().End().End();
  out.Key("values").BeginArray().Number(0).Number(18446744073709551615u).Bool(true).Bool(false).Null().End();
  out.Key("tree").Json(small);
  kv::TkvJsonWriter part(1);
  part.BeginObject().Key("inner").String(texts[2]).Key("tree").Json(small).End();
  out.Key("part").Raw(part.Text());
  out.End();
  EXPECT_EQ(out.Text(), tree.dump(2, ' ', false, nlohmann::detail::error_handler_t::replace));

  kv::TkvJsonWriter empty;
  const kv::TkvJsonWriter::TMark mark = empty.Mark();
  empty.BeginArray().String("x").End();
  empty.Rewind(mark);
  empty.BeginObject().End();
  EXPECT_EQ(empty.Text(), "{}");
}

TEST(CaptureTest, FaultsAndMalformedRepliesAreKeptAsReplied) {
  auto original = kv::TkvSimMachine::FromJson(kFaultyBuses);
  std::string shown;
  const std::string json = Capture(*original, true, &shown);
  // Said with the ordinary entries ...
  EXPECT_NE(json.find("\"exRequest\": false"), std::string::npos) << json;
  EXPECT_NE(json.find("\"openable\": false"), std::string::npos) << json;
  EXPECT_NE(json.find("\"openPipes\": 40"), std::string::npos) << json;
  EXPECT_NE(json.find("\"0302\": \"07 03 41 00 42 00 43\""), std::string::npos) << json;
  // ... and where they cannot, as the recorded reply: the descriptor replies
  // cut after 13 bytes.
  EXPECT_NE(json.find("\"replies\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"name\": \"MISSING\""), std::string::npos) << "a root hub that does not open";
}

TEST(CaptureTest, SerialNumbersBecomePlaceholdersUnlessKept) {
  auto original = kv::TkvSimMachine::FromJson(kCyrillic);
  kv::host::SetAnsiCodePage(1251);
  std::string shown;
  const std::string scrubbed = Capture(*original, true, &shown, false);
  const std::string kept = Capture(*original, true, &shown, true);
  kv::host::SetAnsiCodePage(1252);
  EXPECT_EQ(scrubbed.find("SN12345"), std::string::npos) << scrubbed;
  // Nor as UTF-16 bytes of a recorded reply.
  EXPECT_EQ(scrubbed.find("53 00 4E 00 31 00"), std::string::npos) << scrubbed;
  EXPECT_NE(scrubbed.find("USB\\\\VID_0781&PID_5567\\\\SERIAL0001"), std::string::npos) << scrubbed;
  EXPECT_NE(scrubbed.find("USBSTOR\\\\DISK\\\\SERIAL0001&0"), std::string::npos) << "the same serial, the same placeholder";
  EXPECT_NE(kept.find("SN12345"), std::string::npos);
  EXPECT_NE(kept.find("Флешка 😀"), std::string::npos) << "texts outside the code page stay exact";
  EXPECT_NO_THROW(kv::TkvSimMachine::FromJson(scrubbed));

  // Serial strings that are malformed (a descriptor kept as replied) or cut
  // short (a reply kept as replied), each alone on a machine: without their
  // text unless the serial numbers are kept.
  struct TRaw {
    const char* Device;
    const char* Serial;  // as bytes
  };
  const TRaw raws[] = {
      {R"({"port": 1, "vendorId": "0001", "serialIndex": 1, "descriptors": {"0301": "0B 03 53 00 4E 00 39 00 38 00 37"}})",
       "53 00 4E 00 39 00 38 00 37"},
      {R"({"port": 1, "vendorId": "0002", "serialIndex": 1, "strings": ["SN55667788"],
           "short": {"IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION": 20}})",
       "53 00 4E 00 35 00"}};
  for (const TRaw& raw : raws) {
    SCOPED_TRACE(raw.Device);
    auto machine = kv::TkvSimMachine::FromJson(
        std::string(R"({"usb": {"controllers": [{"number": 0, "rootHub": {"name": "R", "ports": 1, "devices": [)") +
        raw.Device + "]}}]}}");
    const std::string hidden = Capture(*machine, true, &shown, false);
    EXPECT_EQ(hidden.find(raw.Serial), std::string::npos) << hidden;
    EXPECT_NE(Capture(*machine, true, &shown, true).find(raw.Serial), std::string::npos);
    EXPECT_NO_THROW(kv::TkvSimMachine::FromJson(hidden));
  }
}

// Two hubs of one name (in another letter case): a description cannot hold
// both, since hubs open by name and the second would hide the first. The
// second is written as the device it is, so that the capture loads and
// captures itself again.
TEST(CaptureTest, ASecondHubOfTheSameNameIsWrittenAsADevice) {
  kv::TkvSimMachine machine;
  kv::TkvSimUsb usb(machine);
  kv::TkvSimUsbHub& root = usb.AddController(0, "").SetRootHub("ROOT", 2);
  root.AttachHub(1, "TWIN", 1, "");
  root.AttachHub(2, "twin", 1, "");
  std::string shown;
  const std::string first = Capture(machine, false, &shown);
  ASSERT_NE(shown.find("\\\\.\\twin"), std::string::npos) << shown;
  std::unique_ptr<kv::TkvSimMachine> replay;
  ASSERT_NO_THROW(replay = kv::TkvSimMachine::FromJson(first)) << first;
  EXPECT_EQ(Capture(*replay, false, &shown), first);
}

TEST(CaptureTest, CapturingChangesNothing) {
  auto sim = kv::TkvSimMachine::FromJson(kvDemoMachineJson);
  sim->AddProgram("kvX64stub.exe", 0);
  kv::TkvRecordingMachine recorder(*sim);
  kv::TkvMachineScope scope(recorder);
  kv::TkvMachine& m = kv::Machine();

  kv::HKEY key = nullptr;
  ASSERT_EQ(m.RegOpenKeyExA(kv::HKEY_LOCAL_MACHINE, "SYSTEM\\MountedDevices", 0, kv::KEY_READ, &key), kv::ERROR_SUCCESS);
  const kv::BYTE data[] = {'x', 0};
  EXPECT_EQ(m.RegSetValueExA(key, "New", 0, kv::REG_SZ, data, 2), static_cast<kv::LONG>(kv::ERROR_ACCESS_DENIED));
  EXPECT_EQ(m.RegDeleteValueA(key, "\\DosDevices\\C:"), static_cast<kv::LONG>(kv::ERROR_ACCESS_DENIED));
  m.RegCloseKey(key);
  EXPECT_EQ(sim->GetValue(kv::HKEY_LOCAL_MACHINE, "SYSTEM\\MountedDevices", "New"), nullptr);
  EXPECT_NE(sim->GetValue(kv::HKEY_LOCAL_MACHINE, "SYSTEM\\MountedDevices", "\\DosDevices\\C:"), nullptr);

  char line[] = "kvX64stub.exe /disable x";
  kv::STARTUPINFOA startup{};
  kv::PROCESS_INFORMATION info{};
  EXPECT_FALSE(m.CreateProcessA(nullptr, line, nullptr, nullptr, kv::FALSE, 0, nullptr, nullptr, &startup, &info));
  EXPECT_EQ(kv::GetLastError(), kv::ERROR_ACCESS_DENIED);
  EXPECT_TRUE(sim->StartedCommandLines().empty());

  // The device-state entry points are there (the binding succeeds) but refuse.
  kv::HMODULE setupApi = m.LoadLibraryA("SetupAPI.dll");
  ASSERT_NE(setupApi, nullptr);
  auto install = kv::ProcCast<kv::TSetupDiCallClassInstaller>(m.GetProcAddress(setupApi, "SetupDiCallClassInstaller"));
  ASSERT_NE(install, nullptr);
  EXPECT_FALSE(install(0x12, nullptr, nullptr));
  EXPECT_EQ(kv::GetLastError(), kv::ERROR_ACCESS_DENIED);
  m.FreeLibrary(setupApi);

  // Requests other than the hub and controller reads do not pass.
  kv::HANDLE hcd = m.CreateFileA("\\\\.\\HCD0", kv::GENERIC_READ | kv::GENERIC_WRITE, 0, nullptr, kv::OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(hcd, kv::INVALID_HANDLE_VALUE);
  const unsigned long before = sim->CallCount();
  kv::DWORD returned = 0;
  EXPECT_FALSE(m.DeviceIoControl(hcd, 0x220404, nullptr, 0, nullptr, 0, &returned, nullptr));  // a reset
  EXPECT_EQ(kv::GetLastError(), kv::ERROR_ACCESS_DENIED);
  EXPECT_EQ(sim->CallCount(), before) << "the refused request reached the machine";
  m.CloseHandle(hcd);
  EXPECT_EQ(m.CreateFileA("C:\\new.txt", kv::GENERIC_WRITE, 0, nullptr, kv::CREATE_ALWAYS, 0, nullptr),
            kv::INVALID_HANDLE_VALUE);
}

}  // namespace
}  // namespace kvtest
