// The install run when the shell's file operation fails or is cancelled: the
// run stops, records no version and reports the update as not installed.
// The failures come from a host over the build's own, so these run natively
// and under Wine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "UpdateRun.h"
#include "UpdateTestSupport.h"
#include "kvforwardinghost.h"
#include "sim/kvsimmachine.h"

namespace {

using kv::HKEY_LOCAL_MACHINE;
using update::TRunResult;
using Events = std::vector<std::string>;

constexpr const char* Vendor = "SOFTWARE\\Vandrell Datentechnik\\Tool";

class FailingFileOperation : public updatetest::TInstallRunTest {
 protected:
  FailingFileOperation() {
    FRoot.Write("product/Tool.exe", "program");
    FRoot.Write("product/old.dll", "old");
    FRoot.Write("update/a.dll", "new a");
    FRoot.Write("update/b.dll", "new b");
    FMachine.SetString(HKEY_LOCAL_MACHINE, Vendor, "Path", Product());
    FMachine.SetString(HKEY_LOCAL_MACHINE, Vendor, "Update", "1.0.0");
  }

  TRunResult Run(const std::string& entries) {
    return TInstallRunTest::Run("Programm=Tool.exe\nProgrammName=Tool\nVersion=2.0.0\n" + entries);
  }

  kv::TkvFailingFileOperations FShell;
};

TEST_F(FailingFileOperation, AFailedDeletionStopsTheRunBeforeTheCopies) {
  FShell.Fail(1);
  EXPECT_EQ(Run("Delete1=old.dll\nCopy1=a.dll,a.dll\n"), TRunResult::NotInstalled);
  EXPECT_EQ(FUser.Events, (Events{"BeginWork"}));
  EXPECT_TRUE(FRoot.Exists("product/old.dll"));
  EXPECT_FALSE(FRoot.Exists("product/a.dll"));
  EXPECT_EQ(RecordedVersion(), "1.0.0");
}

TEST_F(FailingFileOperation, ACancelledCopyStopsTheRunAndRecordsNoVersion) {
  FShell.Abort(1);
  EXPECT_EQ(Run("Copy1=a.dll,a.dll\nCopy2=b.dll,b.dll\n"), TRunResult::NotInstalled);
  EXPECT_EQ(FUser.Events, (Events{"BeginWork", "Progress 0.0"}));
  EXPECT_FALSE(FRoot.Exists("product/b.dll"));
  EXPECT_EQ(RecordedVersion(), "1.0.0");
}

TEST_F(FailingFileOperation, ACopyThatFailsHalfWayStopsTheRun) {
  // The shell failed with its result code after copying part of the list.
  FShell.Fail(1, 5 /* ERROR_ACCESS_DENIED */, 1);
  EXPECT_EQ(Run("Copy1=a.dll,a.dll\nCopy2=b.dll,b.dll\n"), TRunResult::NotInstalled);
  EXPECT_EQ(FRoot.Read("product/a.dll"), "new a");
  EXPECT_FALSE(FRoot.Exists("product/b.dll"));
  EXPECT_EQ(RecordedVersion(), "1.0.0");
  EXPECT_EQ(FShell.Calls(), 1u);
}

// The failing host itself, on a list of two: a failure does nothing, a
// cancellation after one item leaves that item done, and then the host
// underneath works again.
TEST_F(FailingFileOperation, TheFailingHostCarriesOutOnlyTheItemsBeforeTheFault) {
  const std::string from = FRoot.Text() + "/update/a.dll" + '\0' + FRoot.Text() + "/update/b.dll" + '\0' + '\0';
  const std::string to = FRoot.Text() + "/out" + '\0' + '\0';
  kv::SHFILEOPSTRUCTA op{nullptr, kv::FO_COPY, from.c_str(), to.c_str(), update::FileOpFlags, kv::FALSE, nullptr,
                         nullptr};
  FRoot.Write("out/x", "");  // a folder, whatever the length of the list
  FShell.Fail(1, 5);
  EXPECT_EQ(kv::Host().SHFileOperationA(&op), 5);
  EXPECT_FALSE(op.fAnyOperationsAborted);
  EXPECT_FALSE(FRoot.Exists("out/a.dll"));

  FShell.Abort(1, 1);
  EXPECT_EQ(kv::Host().SHFileOperationA(&op), 1223 /* ERROR_CANCELLED */);
  EXPECT_TRUE(op.fAnyOperationsAborted);
  EXPECT_TRUE(FRoot.Exists("out/a.dll"));
  EXPECT_FALSE(FRoot.Exists("out/b.dll"));

  EXPECT_EQ(kv::Host().SHFileOperationA(&op), 0);  // the faults are used up
  EXPECT_FALSE(op.fAnyOperationsAborted);
  EXPECT_TRUE(FRoot.Exists("out/b.dll"));
  EXPECT_EQ(FShell.Calls(), 3u);
}

}  // namespace
