// The install run when the shell's file operation fails or is cancelled: the
// run stops, records no version and reports the update as not installed.
// The failures come from the POSIX host, so these run natively only.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "UpdateRun.h"
#include "UpdateTestSupport.h"
#include "posix/kvposixhost.h"
#include "sim/kvsimmachine.h"

namespace {

using kv::HKEY_LOCAL_MACHINE;
using update::TRunResult;
using Events = std::vector<std::string>;

constexpr const char* Vendor = "SOFTWARE\\Vandrell Datentechnik\\Tool";

class FailingFileOperation : public ::testing::Test {
 protected:
  FailingFileOperation() {
    FRoot.Write("product/Tool.exe", "program");
    FRoot.Write("product/old.dll", "old");
    FRoot.Write("update/a.dll", "new a");
    FRoot.Write("update/b.dll", "new b");
    FMachine.SetString(HKEY_LOCAL_MACHINE, Vendor, "Path", (FRoot.Path() / "product").string());
    FMachine.SetString(HKEY_LOCAL_MACHINE, Vendor, "Update", "1.0.0");
  }
  ~FailingFileOperation() override { kv::host::ClearFileOperationFaults(); }

  TRunResult Run(const std::string& entries) {
    FData = updatetest::Description("Programm=Tool.exe\nProgrammName=Tool\nVersion=2.0.0\n" + entries,
                                    (FRoot.Path() / "update").string());
    return update::InstallRun(FData, FUser);
  }

  std::string RecordedVersion() { return updatetest::RecordedVersion(FMachine); }

  updatetest::TTempFolder FRoot;
  updatetest::TCurrentDirectoryGuard FRestore;
  kv::TkvSimMachine FMachine;
  kv::TkvMachineScope FScope{FMachine};
  updatetest::TScriptedUser FUser;
  update::TUpdateData FData;
};

TEST_F(FailingFileOperation, AFailedDeletionStopsTheRunBeforeTheCopies) {
  kv::host::FailNextFileOperations(1);
  EXPECT_EQ(Run("Delete1=old.dll\nCopy1=a.dll,a.dll\n"), TRunResult::NotInstalled);
  EXPECT_EQ(FUser.Events, (Events{"BeginWork"}));
  EXPECT_TRUE(FRoot.Exists("product/old.dll"));
  EXPECT_FALSE(FRoot.Exists("product/a.dll"));
  EXPECT_EQ(RecordedVersion(), "1.0.0");
}

TEST_F(FailingFileOperation, ACancelledCopyStopsTheRunAndRecordsNoVersion) {
  kv::host::AbortNextFileOperations(1);
  EXPECT_EQ(Run("Copy1=a.dll,a.dll\nCopy2=b.dll,b.dll\n"), TRunResult::NotInstalled);
  EXPECT_EQ(FUser.Events, (Events{"BeginWork", "Progress 0.0"}));
  EXPECT_FALSE(FRoot.Exists("product/b.dll"));
  EXPECT_EQ(RecordedVersion(), "1.0.0");
}

TEST_F(FailingFileOperation, ACopyThatFailsHalfWayStopsTheRun) {
  // The shell failed with its result code after copying part of the list.
  const unsigned callsBefore = kv::host::FileOperationCount();
  kv::host::FailNextFileOperations(1, 5 /* ERROR_ACCESS_DENIED */, 1);
  EXPECT_EQ(Run("Copy1=a.dll,a.dll\nCopy2=b.dll,b.dll\n"), TRunResult::NotInstalled);
  EXPECT_EQ(FRoot.Read("product/a.dll"), "new a");
  EXPECT_FALSE(FRoot.Exists("product/b.dll"));
  EXPECT_EQ(RecordedVersion(), "1.0.0");
  EXPECT_EQ(kv::host::FileOperationCount() - callsBefore, 1u);
}

}  // namespace
