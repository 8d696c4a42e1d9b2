// The INF writer with arbitrary names, captions, GUID texts, versions, dates
// and ids: whatever it is given, the package's INF must read as a sound INF
// (sections, one entry a line, balanced quotes, known string keys) and name
// the hardware id once in each model section, with and without co-installers.
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "infcheck.h"
#include "kvusbdriver.h"
#include "kvutils.h"

namespace {

std::string Field(const std::uint8_t*& data, std::size_t& size) {
  const void* end = std::memchr(data, 0x01, size);
  const std::size_t n = end ? static_cast<const std::uint8_t*>(end) - data : size;
  std::string s(reinterpret_cast<const char*>(data), n);
  const std::size_t used = end ? n + 1 : n;
  data += used;
  size -= used;
  return s;
}

void Fail(const std::string& what, const std::string& inf) {
  std::fprintf(stderr, "%s\n---\n%s\n---\n", what.c_str(), inf.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One package folder for the whole run, removed at its end.
  static const struct TFolder {
    std::string Path;
    TFolder() {
      char pattern[] = "/tmp/kvinffuzz-XXXXXX";
      const char* made = ::mkdtemp(pattern);
      Path = made ? std::string(made) + "/" : std::string();
    }
    ~TFolder() {
      if (Path.empty()) return;
      for (const char* f : {"kvusb.inf", "kvX64stub.exe", "i386", "amd64", "ia64", ""})
        std::remove((Path + f).c_str());
    }
  } package;
  const std::string& folder = package.Path;
  if (folder.empty()) return 0;
  if (size < 12) return 0;
  double date;
  std::memcpy(&date, data, sizeof date);
  std::uint16_t vendor, product;
  std::memcpy(&vendor, data + 8, 2);
  std::memcpy(&product, data + 10, 2);
  data += 12;
  size -= 12;
  const std::string caption = Field(data, size);
  const std::string guid = Field(data, size);
  const std::string version = Field(data, size);

  kv::TkvUsbDriver driver(nullptr);
  driver.SetOnFatalError([](kv::TObject*, kv::DWORD, kv::DWORD, const std::string&, bool& raise) { raise = false; });
  driver.SetIdVendor(vendor | 1u);
  driver.SetIdProduct(product | 0x100u);
  driver.SetDriverDate(date);
  driver.SetDriverCaption(caption);
  driver.SetInterfaceGUID(guid);
  driver.SetDriverVersion(version);
  const std::string hardwareId = driver.GetHardwareId();
  if (!driver.SaveDriverFiles(folder)) return 0;  // a GUID text that is no GUID
  std::FILE* f = std::fopen((folder + "kvusb.inf").c_str(), "rb");
  std::string inf;
  if (f) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) inf.append(buffer, n);
    std::fclose(f);
  }
  std::string fault = kv::test::CheckDriverInf(inf, hardwareId);
  if (!fault.empty()) Fail(fault, inf);

  kv::TkvInfValues values;
  values.HardwareId = hardwareId;
  values.Date = date;
  values.Version = version;
  values.Description = " " + caption;
  values.InterfaceGuid = driver.InterfaceGuidValue();
  values.WithCoInstallers = true;
  inf = kv::MakeDriverInf(kv::LoadResourceText("KVUSBINF"), values);
  fault = kv::test::CheckDriverInf(inf, hardwareId);
  if (!fault.empty()) Fail(fault, inf);
  return 0;
}
