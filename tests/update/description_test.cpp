// Reading Update.inf: line splitting, key and value, copy entries, the keys
// and their numbered slots, and loading the file from the working directory.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Functions1.h"
#include "UpdateTestSupport.h"
#include "kvplatform.h"

namespace {

using update::TUpdateData;
using updatetest::Description;

struct TSplitCase {
  const char* Label;
  const char* Line;
  const char* Key;
  const char* Value;
};

TEST(SplitKeyValue, EndsTheKeyAndSkipsEveryBlankAndEqualsSign) {
  const TSplitCase cases[] = {
      {"plain", "Programm=Tool.exe", "Programm", "Tool.exe"},
      {"blanks around =", "Version = 1.2.3", "Version", "1.2.3"},
      {"repeated separators", "Update  == =Neue Version", "Update", "Neue Version"},
      {"blanks inside and after the value stay", "Update=Tool  2  ", "Update", "Tool  2  "},
      {"blank as the only separator", "Delete1 old.dll", "Delete1", "old.dll"},
      {"no separator: all key", "Version", "Version", ""},
      {"empty line", "", "", ""},
      {"no key", "=value", "", "value"},
  };
  for (const TSplitCase& c : cases) {
    SCOPED_TRACE(c.Label);
    std::string buffer = c.Line;
    const char* value = update::SplitKeyValue(buffer.data());
    EXPECT_STREQ(buffer.c_str(), c.Key);
    EXPECT_STREQ(value, c.Value);
  }
}

TEST(SplitCopyEntry, CutsAtTheFirstComma) {
  struct TCase {
    const char* Label;
    const char* Value;
    const char* Source;
    const char* Target;
  };
  const TCase cases[] = {
      {"source and destination", "bin\\a.dll,a.dll", "bin\\a.dll", "a.dll"},
      {"a blank after the comma belongs to the destination", "a.dll, a.dll", "a.dll", " a.dll"},
      {"no comma: empty destination", "a.dll", "a.dll", ""},
      {"only the first comma cuts", "a,b,c", "a", "b,c"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Label);
    TUpdateData data;
    std::string value = c.Value;
    update::SplitCopyEntry(data, 7, value.data());
    EXPECT_EQ(data.CopySources[7], c.Source);
    EXPECT_EQ(data.CopyTargets[7], c.Target);
  }
}

TEST(SplitLines, EndsLinesAtCrLfAndCrLf) {
  EXPECT_EQ(update::SplitLines("a\r\nb\nc\rd"), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(update::SplitLines("a\n\nb\n"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(update::SplitLines("\r\n"), (std::vector<std::string>{""}));
  EXPECT_TRUE(update::SplitLines("").empty());
}

TEST(ParseDescription, ReadsEveryKeyBelowASectionHeaderWithoutRegardToCase) {
  TUpdateData data;
  data.InfLines = {"[Update]",          "Update=Werkzeug 2024",     "programm=Tool.exe",
                   "PROGRAMMNAME=Tool", "Version = 1.2.3",          "delete1=old.dll",
                   "Copy1=bin\\a.dll,a.dll", "COPY2=b.dll,sub\\b.dll", "Unbekannt=1"};
  const auto title = update::ParseDescription(data);
  ASSERT_TRUE(title.has_value());
  EXPECT_EQ(*title, "Werkzeug 2024");
  EXPECT_EQ(data.ProgramFile, "Tool.exe");
  EXPECT_EQ(data.ProgramName, "Tool");
  EXPECT_EQ(data.UpdateVersion, "1.2.3");
  EXPECT_EQ(data.DeleteCount, 1u);
  EXPECT_EQ(data.DeleteList[1], "old.dll");
  EXPECT_EQ(data.CopyCount, 2u);
  EXPECT_EQ(data.CopySources[1], "bin\\a.dll");
  EXPECT_EQ(data.CopyTargets[2], "sub\\b.dll");
}

TEST(ParseDescription, NumberedKeysMatchOnlyPlainNumbersFromOneToFifty) {
  const TUpdateData data = Description(
      "Delete01=a\nDelete0=b\nDelete51=c\nDelete=d\nDelete1x=e\nDeletex=f\nDelete50=last\nCopy100=g\n"
      "Copy7=h,i\n");
  EXPECT_EQ(data.DeleteCount, 1u);
  EXPECT_EQ(data.DeleteList[50], "last");
  EXPECT_EQ(data.CopyCount, 1u);
  EXPECT_EQ(data.CopySources[7], "h");
}

TEST(ParseDescription, CountsMatchingLinesWhileEntriesGoToTheSlotOfTheirNumber) {
  // Delete1 and Delete3 without Delete2: two lines, so the run will process
  // slots 1 and 2 (2 empty) and never slot 3.
  TUpdateData data = Description("Delete1=a.dll\nDelete3=c.dll\n");
  EXPECT_EQ(data.DeleteCount, 2u);
  EXPECT_EQ(data.DeleteList[2], "");
  EXPECT_EQ(data.DeleteList[3], "c.dll");

  // A repeated key counts twice, and its later value wins.
  data = Description("Delete1=first\nDelete1=second\n");
  EXPECT_EQ(data.DeleteCount, 2u);
  EXPECT_EQ(data.DeleteList[1], "second");
  TUpdateData titled;
  titled.InfLines = {"Update=A", "Update=B"};
  EXPECT_EQ(update::ParseDescription(titled).value_or(""), "B");
}

TEST(ParseDescription, WithoutAnUpdateKeyTheTitleStaysAsDesigned) {
  TUpdateData data;
  data.InfLines = {"Version=1.0.0"};
  EXPECT_FALSE(update::ParseDescription(data).has_value());
}

TEST(ParseDescription, ReadsLongLinesAndLongFilesCompletely) {
  // Neither the 255 characters of a line nor 255 lines are a limit.
  const std::string longPath = std::string(300, 'x') + ".dll";
  std::string text;
  for (int i = 0; i < 300; ++i) text += "; comment line\n";
  text += "Delete1=" + longPath + "\nVersion=9.9.9\n";
  const TUpdateData data = Description(text);
  EXPECT_EQ(data.DeleteList[1], longPath);
  EXPECT_EQ(data.UpdateVersion, "9.9.9");
}

TEST(ParseDescription, ALineEndsAtAnEmbeddedZero) {
  const TUpdateData data = Description(std::string("Programm=Tool.exe\0garbage\n", 26));
  EXPECT_EQ(data.ProgramFile, "Tool.exe");
}

TEST(ReadDescription, LoadsUpdateInfFromTheWorkingDirectory) {
  updatetest::TTempFolder folder;
  updatetest::TCurrentDirectoryGuard restore;
  folder.Write("Update.inf", "[Update]\r\nUpdate=Werkzeug\r\nVersion=2.1.0\r\nDelete1=old.dll\r\n");
  ASSERT_TRUE(kv::Host().SetCurrentDirectoryA(folder.Text().c_str()));

  TUpdateData data;
  const auto title = update::ReadDescription(data);
  EXPECT_EQ(updatetest::fs::path(data.StartDir), updatetest::fs::current_path());
  ASSERT_TRUE(title.has_value());
  EXPECT_EQ(*title, "Werkzeug");
  EXPECT_EQ(data.InfLines.size(), 4u);
  EXPECT_EQ(data.UpdateVersion, "2.1.0");
  EXPECT_EQ(data.DeleteCount, 1u);
}

TEST(ReadDescription, WithoutUpdateInfTheDescriptionStaysEmpty) {
  updatetest::TTempFolder folder;
  updatetest::TCurrentDirectoryGuard restore;
  ASSERT_TRUE(kv::Host().SetCurrentDirectoryA(folder.Text().c_str()));

  TUpdateData data;
  EXPECT_FALSE(update::ReadDescription(data).has_value());
  EXPECT_FALSE(data.StartDir.empty());
  EXPECT_TRUE(data.InfLines.empty());
  EXPECT_EQ(data.UpdateVersion, "");
  EXPECT_EQ(data.DeleteCount + data.CopyCount, 0u);
}

}  // namespace
