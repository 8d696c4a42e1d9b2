// The install run with real files in a temporary folder, a simulated
// registry and a user who answers from a script.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "Functions1.h"
#include "UpdateRun.h"
#include "UpdateTestSupport.h"
#include "kvplatform.h"
#include "sim/kvsimmachine.h"

namespace {

using kv::HKEY_LOCAL_MACHINE;
using update::TRunResult;
using Events = std::vector<std::string>;

constexpr const char* AppPaths = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Tool.exe";
constexpr const char* Vendor = "SOFTWARE\\Vandrell Datentechnik\\Tool";
constexpr const char* Head = "[Update]\nUpdate=Werkzeug\nProgramm=Tool.exe\nProgrammName=Tool\n";

// Below one temporary folder: the installed product in product/, the update
// with its new files in update/, and a file beside both that no description
// may reach.
class InstallRun : public updatetest::TInstallRunTest {
 protected:
  InstallRun() {
    FRoot.Write("product/Tool.exe", "program");
    FRoot.Write("update/Update.inf", "");
    FRoot.Write("outside.txt", "keep");
  }

  // The product as its own key records it.
  void Installed(const std::string& version) {
    FMachine.SetString(HKEY_LOCAL_MACHINE, Vendor, "Path", Product());
    if (!version.empty()) FMachine.SetString(HKEY_LOCAL_MACHINE, Vendor, "Update", version);
  }

  TRunResult Run(const std::string& inf) { return TInstallRunTest::Run(Head + inf); }
};

TEST_F(InstallRun, DeletesAndCopiesWithTheProgressOfEachStepAndRecordsTheVersion) {
  Installed("1.0.0");
  FRoot.Write("product/old1.dll", "x");
  FRoot.Write("product/old3.dll", "x");
  FRoot.Write("product/a.dll", "old a");
  FRoot.Write("product/sub/keep.txt", "keep");
  FRoot.Write("update/bin/a.dll", "new a");
  FRoot.Write("update/b.dll", "new b");
  FRoot.Write("update/c.dll", "new c");

  // Blanks and control characters after the version are not part of it.
  EXPECT_EQ(Run("Version=1.2.0 \t\x1a\n"
                "Delete1=old1.dll\nDelete2=missing.dll\nDelete3=old3.dll\n"
                "Copy1=bin\\a.dll,a.dll\nCopy2=b.dll,sub\\b.dll\nCopy3=c.dll\n"),
            TRunResult::Installed);

  // The missing file in the middle is passed over: the bar waits for the next.
  EXPECT_EQ(FUser.Events, (Events{"BeginWork", "Progress 33.3", "Progress 100.0", "Progress 0.0", "Progress 33.3",
                                  "Progress 66.7", "Progress 100.0"}));
  EXPECT_FALSE(FRoot.Exists("product/old1.dll"));
  EXPECT_FALSE(FRoot.Exists("product/old3.dll"));
  EXPECT_EQ(FRoot.Read("product/a.dll"), "new a");  // overwritten without a question
  EXPECT_EQ(FRoot.Read("product/sub/b.dll"), "new b");
  EXPECT_EQ(FRoot.Read("product/c.dll"), "new c");  // no destination: into the folder
  EXPECT_EQ(FRoot.Read("product/Tool.exe"), "program");
  EXPECT_EQ(FRoot.Read("update/bin/a.dll"), "new a");
  EXPECT_EQ(FData.InstallPath, Product() + "\\");
  EXPECT_EQ(RecordedVersion(), "1.2.0");
}

// Under Wine, what is deleted with undo goes to the desktop trash below
// $XDG_DATA_HOME: the test runner gives Wine one of its own, so a test run
// leaves nothing in the user's home. (The POSIX host deletes for good.)
TEST_F(InstallRun, DeletedFilesGoToTheTrashOfTheTestRunnerNotTheUsers) {
  if (!kv::RealMachine()) GTEST_SKIP() << "only Windows has a recycle bin";
  const char* data = std::getenv("XDG_DATA_HOME");
  ASSERT_NE(data, nullptr) << "Wine would use the user's ~/.local/share";
  const char* home = std::getenv("HOME");
  if (home && *home) {
    EXPECT_NE(std::string(data).rfind(std::string(home) + "/", 0), 0u) << data;
  }
  Installed("1.0.0");
  const std::string name = "kvtrash-" + std::to_string(std::random_device()()) + ".dll";
  FRoot.Write("product/" + name, "x");
  EXPECT_EQ(Run("Version=1.1.0\nDelete1=" + name + "\n"), TRunResult::Installed);
  EXPECT_FALSE(FRoot.Exists("product/" + name));
  std::string trashed = std::string("Z:") + data + "/Trash/files/" + name;
  for (char& c : trashed) c = c == '/' ? '\\' : c;
  EXPECT_NE(kv::Host().GetFileAttributesA(trashed.c_str()), kv::INVALID_FILE_ATTRIBUTES) << trashed;
  kv::Host().DeleteFileA(trashed.c_str());
}

TEST_F(InstallRun, RefusesAnEqualOrNewerVersionWithoutTouchingAnything) {
  for (const char* installed : {"2.0.0", "1.5.0", "1.6.0"}) {
    SCOPED_TRACE(installed);
    Installed(installed);
    const auto before = FRoot.Snapshot();
    FUser.Events.clear();
    // A trailing blank would weigh (32 - 48) in the last component.
    EXPECT_EQ(Run("Version=1.5.0 \nDelete1=Tool.exe\nCopy1=Update.inf,Tool.exe\n"), TRunResult::NewerInstalled);
    EXPECT_TRUE(FUser.Events.empty());
    EXPECT_EQ(FRoot.Snapshot(), before);
    EXPECT_EQ(RecordedVersion(), installed);
  }
}

TEST_F(InstallRun, WithoutAVersionKeyTheUpdateIsAlwaysRefused) {
  // Found or not: nothing is asked and nothing changes.
  EXPECT_EQ(Run("Delete1=Tool.exe\n"), TRunResult::NewerInstalled);
  Installed("");
  EXPECT_EQ(Run("Delete1=Tool.exe\n"), TRunResult::NewerInstalled);
  EXPECT_TRUE(FUser.Events.empty());
  EXPECT_TRUE(FRoot.Exists("product/Tool.exe"));
}

TEST_F(InstallRun, AnyVersionSkipsTheRuleAndRecordsNothing) {
  Installed("5.0.0");
  FRoot.Write("update/a.dll", "new a");
  EXPECT_EQ(Run("Version=*\nCopy1=a.dll,a.dll\n"), TRunResult::Installed);
  EXPECT_EQ(FRoot.Read("product/a.dll"), "new a");
  EXPECT_EQ(RecordedVersion(), "5.0.0");
}

TEST_F(InstallRun, AsksForTheFolderTheRegistryDoesNotKnowAndAddsTheBackslash) {
  FUser.FolderAnswers = {Product()};
  FRoot.Write("update/a.dll", "new a");
  EXPECT_EQ(Run("Version=1.0.0\nCopy1=a.dll,a.dll\n"), TRunResult::Installed);
  EXPECT_EQ(FUser.Events, (Events{"AskFolder", "BeginWork", "Progress 0.0", "Progress 100.0"}));
  EXPECT_EQ(FData.InstallPath, Product() + "\\");
  EXPECT_EQ(FRoot.Read("product/a.dll"), "new a");
  EXPECT_EQ(RecordedVersion(), "1.0.0");  // the product's key is created
}

TEST_F(InstallRun, TheFolderQuestionLeftWithAbbrechenInstallsNothing) {
  FUser.FolderAnswers = {std::nullopt};
  const auto before = FRoot.Snapshot();
  EXPECT_EQ(Run("Version=1.0.0\nDelete1=Tool.exe\n"), TRunResult::NotInstalled);
  EXPECT_EQ(FUser.Events, (Events{"AskFolder"}));
  EXPECT_EQ(FRoot.Snapshot(), before);
  EXPECT_EQ(RecordedVersion(), "(none)");
}

TEST_F(InstallRun, AFolderWithoutTheProgramFileInstallsNothing) {
  Installed("1.0.0");
  const auto before = FRoot.Snapshot();
  EXPECT_EQ(Run("Programm=Missing.exe\nVersion=1.1.0\nDelete1=Tool.exe\n"), TRunResult::NotInstalled);
  EXPECT_TRUE(FUser.Events.empty());
  EXPECT_EQ(FRoot.Snapshot(), before);
  EXPECT_EQ(RecordedVersion(), "1.0.0");

  // A folder (not a file) of the program's name does not count either.
  FRoot.Write("product/Folder.exe/inside.txt", "x");
  EXPECT_EQ(Run("Programm=Folder.exe\nVersion=1.1.0\nDelete1=Tool.exe\n"), TRunResult::NotInstalled);
  EXPECT_TRUE(FRoot.Exists("product/Tool.exe"));
}

TEST_F(InstallRun, AProductUnderAppPathsHasNoRecordedVersion) {
  // Only an offered 0.0.0 is refused there, whatever the product's own key says.
  FMachine.SetString(HKEY_LOCAL_MACHINE, AppPaths, "Path", Product());
  FMachine.SetString(HKEY_LOCAL_MACHINE, Vendor, "Update", "9.9.9");
  EXPECT_EQ(Run("Version=0.0.0\n"), TRunResult::NewerInstalled);
  EXPECT_EQ(Run("Version=0.0.1\n"), TRunResult::Installed);
  EXPECT_EQ(RecordedVersion(), "0.0.1");
}

TEST_F(InstallRun, ADescriptionWithoutEntriesOnlyRecordsTheVersion) {
  Installed("1.0.0");
  const auto before = FRoot.Snapshot();
  EXPECT_EQ(Run("Version=1.1.0\n"), TRunResult::Installed);
  EXPECT_EQ(FUser.Events, (Events{"BeginWork", "Progress 0.0"}));
  EXPECT_EQ(FRoot.Snapshot(), before);
  EXPECT_EQ(RecordedVersion(), "1.1.0");
}

TEST_F(InstallRun, AGapInTheDeleteNumbersLeavesTheFolderAndTheLastEntryAlone) {
  // Delete1 and Delete3: slots 1 and 2 are processed. Slot 2 is empty and
  // names the installation folder itself, which is no file to delete.
  Installed("1.0.0");
  FRoot.Write("product/old1.dll", "x");
  FRoot.Write("product/old3.dll", "x");
  EXPECT_EQ(Run("Version=1.1.0\nDelete1=old1.dll\nDelete3=old3.dll\n"), TRunResult::Installed);
  EXPECT_EQ(FUser.Events, (Events{"BeginWork", "Progress 50.0", "Progress 0.0"}));
  EXPECT_FALSE(FRoot.Exists("product/old1.dll"));
  EXPECT_TRUE(FRoot.Exists("product/old3.dll"));
  EXPECT_TRUE(FRoot.Exists("product/Tool.exe"));
}

TEST_F(InstallRun, EntriesThatLeaveTheFolderAreRefusedBeforeAnythingChanges) {
  struct TCase {
    const char* Label;
    const char* Entries;
  };
  const TCase cases[] = {
      {"delete above the folder", "Delete1=..\\outside.txt\n"},
      {"delete deeper above the folder", "Delete1=sub\\..\\..\\outside.txt\n"},
      {"delete of an absolute path", "Delete1=\\outside.txt\n"},
      {"delete with a drive", "Delete1=C:\\outside.txt\n"},
      {"delete with three points", "Delete1=...\\outside.txt\n"},
      {"copy above the folder", "Copy1=Update.inf,..\\outside.txt\n"},
      {"copy with forward slashes", "Copy1=Update.inf,sub/../../outside.txt\n"},
      {"copy to a UNC path", "Copy1=Update.inf,\\\\server\\share\\x\n"},
      {"copy without a source (a gap in the numbers)", "Copy2=Update.inf,x.dll\n"},
      {"a bad last entry stops the first as well", "Delete1=Tool.exe\nDelete2=..\\outside.txt\n"},
  };
  Installed("1.0.0");
  const auto before = FRoot.Snapshot();
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Label);
    EXPECT_EQ(Run(std::string("Version=1.1.0\n") + c.Entries), TRunResult::NotInstalled);
    EXPECT_TRUE(FUser.Events.empty());
    EXPECT_EQ(FRoot.Snapshot(), before);
    EXPECT_EQ(RecordedVersion(), "1.0.0");
  }
}

TEST_F(InstallRun, PathsOfAHundredCharactersAndMoreAreUsedWhole) {
  const std::string deep = std::string(60, 'd') + "/" + std::string(60, 'e');
  const std::string deepEntry = std::string(60, 'd') + "\\" + std::string(60, 'e');
  Installed("1.0.0");
  FRoot.Write("product/" + deep + "/old.dll", "x");
  FRoot.Write("product/" + deep + "/keep.dll", "x");
  FRoot.Write("update/" + deep + "/new.dll", "new");
  EXPECT_EQ(Run("Version=1.1.0\nDelete1=" + deepEntry + "\\old.dll\nCopy1=" + deepEntry + "\\new.dll," +
                deepEntry + "\\new.dll\n"),
            TRunResult::Installed);
  EXPECT_GE((FData.InstallPath + FData.DeleteList[1]).size(), 100u);
  EXPECT_FALSE(FRoot.Exists("product/" + deep + "/old.dll"));
  EXPECT_TRUE(FRoot.Exists("product/" + deep + "/keep.dll"));
  EXPECT_EQ(FRoot.Read("product/" + deep + "/new.dll"), "new");
}

TEST_F(InstallRun, AVersionThatCannotBeRecordedIsAnErrorAfterTheFilesAreInPlace) {
  Installed("1.0.0");
  FRoot.Write("update/a.dll", "new a");
  FMachine.Fail("RegCreateKeyExA", kv::ERROR_ACCESS_DENIED);
  try {
    Run("Version=1.1.0\nCopy1=a.dll,a.dll\n");
    FAIL() << "the failed registry write went unnoticed";
  } catch (const update::ERegistryError& error) {
    EXPECT_EQ(error.Kind, update::ERegistryError::WriteFailed);
    EXPECT_EQ(error.ValueName, "Update");
  }
  EXPECT_EQ(FUser.Events, (Events{"BeginWork", "Progress 0.0", "Progress 100.0"}));
  EXPECT_EQ(FRoot.Read("product/a.dll"), "new a");
  EXPECT_EQ(RecordedVersion(), "1.0.0");
}

TEST_F(InstallRun, APathThatIsNoTextStopsTheRunBeforeItStarts) {
  FMachine.SetDword(HKEY_LOCAL_MACHINE, Vendor, "Path", 1);
  EXPECT_THROW(Run("Version=1.1.0\nDelete1=Tool.exe\n"), update::ERegistryError);
  EXPECT_TRUE(FUser.Events.empty());
  EXPECT_TRUE(FRoot.Exists("product/Tool.exe"));
}

TEST_F(InstallRun, AnUpdateFolderThatIsGoneStopsTheRunInsteadOfCopyingFromElsewhere) {
  // The working directory holds a file of the same name as the copy source;
  // the update's own folder, where the source belongs, has disappeared.
  Installed("1.0.0");
  FRoot.Write("product/old.dll", "x");
  FRoot.Write("elsewhere/a.dll", "wrong a");
  ASSERT_TRUE(kv::Host().SetCurrentDirectoryA((FRoot.Path() / "elsewhere").string().c_str()));
  FData = updatetest::Description(std::string(Head) + "Version=1.1.0\nDelete1=old.dll\nCopy1=a.dll,a.dll\n",
                                  (FRoot.Path() / "gone").string());
  EXPECT_EQ(update::InstallRun(FData, FUser), TRunResult::NotInstalled);
  EXPECT_FALSE(FRoot.Exists("product/a.dll"));
  EXPECT_TRUE(FRoot.Exists("product/old.dll"));
  EXPECT_EQ(RecordedVersion(), "1.0.0");

  FData.DeleteCount = 0;  // the copies alone check it as well
  EXPECT_EQ(update::InstallRun(FData, FUser), TRunResult::NotInstalled);
  EXPECT_FALSE(FRoot.Exists("product/a.dll"));
  EXPECT_EQ(RecordedVersion(), "1.0.0");
}

TEST_F(InstallRun, PressingTheButtonAgainRepeatsTheLookup) {
  Installed("2.0.0");
  EXPECT_EQ(Run("Version=1.5.0\n"), TRunResult::NewerInstalled);
  Installed("1.0.0");  // meanwhile the older version was put back
  EXPECT_EQ(update::InstallRun(FData, FUser), TRunResult::Installed);
  EXPECT_EQ(RecordedVersion(), "1.5.0");
}

TEST(StaysInsideFolder, JudgesEntriesByWhereTheyLead) {
  struct TCase {
    const char* Entry;
    bool Inside;
  };
  const TCase cases[] = {
      {"", true},
      {"a.dll", true},
      {"sub\\a.dll", true},
      {"sub/a.dll", true},
      {".\\a.dll", true},
      {"sub\\..\\a.dll", true},
      {"sub\\\\a.dll", true},
      {" a.dll", true},
      {"..", false},
      {"..\\a.dll", false},
      {"sub\\..\\..\\a.dll", false},
      {"\\a.dll", false},
      {"/a.dll", false},
      {"\\\\server\\share", false},
      {"C:\\a.dll", false},
      {"C:a.dll", false},
      {"...\\a.dll", false},
      {".. \\a.dll", false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Entry);
    EXPECT_EQ(update::StaysInsideFolder(c.Entry), c.Inside);
  }
}

}  // namespace
