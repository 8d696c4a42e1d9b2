// A fresh simulated machine installed for each test, with a few builders for
// the devnodes the setup layer cares about.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "kvframework.h"
#include "kvplatform.h"
#include "kvsetupapi.h"
#include "kvtext.h"
#include "sim/kvsimmachine.h"

namespace kvtest {

inline kv::GUID Guid(const char* text) {
  kv::GUID g{};
  EXPECT_TRUE(kv::TextToGuid(text, g)) << text;
  return g;
}

inline const kv::GUID kUsbClass = Guid("{36FC9E60-C465-11CF-8056-444553540000}");
inline const kv::GUID kPortsClass = Guid("{4D36E978-E325-11CE-BFC1-08002BE10318}");
inline const kv::GUID kHidClass = Guid("{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}");

class SimTest : public ::testing::Test {
 protected:
  SimTest() : M(std::make_unique<kv::TkvSimMachine>()), Scope(*M) {}

  // Enumerations, bindings, registry helpers and started processes give back
  // every handle, key, device information set and library they took.
  void TearDown() override {
    kv::UnloadSetupApi();
    EXPECT_EQ(M->Outstanding(), kv::TkvSimMachine::TOutstanding{}) << M->Dump();
  }

  kv::TkvSimDevnode& Device(const std::string& id, const kv::GUID& cls, const std::string& driverKey,
                            kv::TkvSimDevnode* parent = nullptr) {
    kv::TkvSimMachine::DevnodeSpec spec;
    spec.InstanceId = id;
    spec.ClassGuid = cls;
    spec.DriverKey = driverKey;
    spec.Description = "Description of " + id;
    spec.Service = "svc";
    spec.Manufacturer = "Maker";
    spec.PdoName = "\\Device\\PDO-" + driverKey.substr(driverKey.size() - 2);
    return M->AddDevnode(spec, parent);
  }

  // The records of one class enumeration, freed with the list.
  std::unique_ptr<kv::TStringList> Enum(const kv::GUID& cls, bool withInterface = false) {
    auto list = std::make_unique<kv::TStringList>(true);
    kv::EnumDevices(&cls, true, true, withInterface, *list);
    return list;
  }

  static kv::TkvDevice& Record(const kv::TStringList& list, int i) {
    return *list.ObjectAs<kv::TkvDevice>(i);
  }

  std::unique_ptr<kv::TkvSimMachine> M;
  kv::TkvMachineScope Scope;
};

}  // namespace kvtest
