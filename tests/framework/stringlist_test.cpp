// String lists with attached objects, and Format.
#include <gtest/gtest.h>

#include <string>

#include "kvframework.h"

namespace kv {
namespace {

class TCounted : public TObject {
 public:
  explicit TCounted(int* alive) : FAlive(alive) { ++*FAlive; }
  ~TCounted() override { --*FAlive; }

 private:
  int* FAlive;
};

TEST(StringList, KeepsOrderAndAttachedObjects) {
  TStringList list;
  int alive = 0;
  TCounted a(&alive), b(&alive);
  EXPECT_EQ(list.Add("one"), 0);
  EXPECT_EQ(list.AddObject("two", &a), 1);
  list.InsertObject(0, "zero", &b);
  list.Insert(3, "three");  // Count() appends
  ASSERT_EQ(list.Count(), 4);
  EXPECT_EQ(list.Strings(0), "zero");
  EXPECT_EQ(list.Objects(0), &b);
  EXPECT_EQ(list.Objects(1), nullptr);
  EXPECT_EQ(list.ObjectAs<TCounted>(2), &a);
  EXPECT_EQ(list.ObjectAs<TStringList>(2), nullptr);
  EXPECT_EQ(list.IndexOfObject(&a), 2);

  list.Delete(0);
  EXPECT_EQ(list.Text(), "one\r\ntwo\r\nthree\r\n");
  EXPECT_EQ(alive, 2);  // a list that does not own leaves objects alone
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.Text(), "");
}

TEST(StringList, IndexOfIgnoresLetterCaseUnlessAskedNotTo) {
  TStringList list;
  list.Add("USB\\VID_1234");
  list.Add("usb\\vid_1234");
  EXPECT_EQ(list.IndexOf("Usb\\Vid_1234"), 0);
  EXPECT_EQ(list.IndexOf("USB\\VID_12345"), -1);
  EXPECT_EQ(list.IndexOf(""), -1);
  list.SetCaseSensitive(true);
  EXPECT_EQ(list.IndexOf("usb\\vid_1234"), 1);
  EXPECT_EQ(list.IndexOf("Usb\\Vid_1234"), -1);
}

TEST(StringList, OwnsObjectsDeletesThemOnDeleteReplaceClearAndDestruction) {
  int alive = 0;
  {
    TStringList list(true);
    list.AddObject("a", new TCounted(&alive));
    list.AddObject("b", new TCounted(&alive));
    list.AddObject("c", new TCounted(&alive));
    list.AddObject("d", new TCounted(&alive));
    list.Add("no object");
    EXPECT_EQ(alive, 4);
    list.Delete(0);
    EXPECT_EQ(alive, 3);
    list.SetObject(0, new TCounted(&alive));  // replaces b
    EXPECT_EQ(alive, 3);
    list.SetObject(0, list.Objects(0));  // the same object stays
    EXPECT_EQ(alive, 3);
    TObject* extracted = list.Extract(1);  // c leaves the list, alive
    EXPECT_EQ(alive, 3);
    delete extracted;
    EXPECT_EQ(alive, 2);
  }
  EXPECT_EQ(alive, 0);

  TStringList list(true);
  list.AddObject("x", new TCounted(&alive));
  list.Clear();
  EXPECT_EQ(alive, 0);
}

TEST(StringList, IndexOutsideTheListThrows) {
  TStringList list;
  list.Add("only");
  EXPECT_THROW(list.Strings(-1), EkvException);
  EXPECT_THROW(list.Delete(1), EkvException);
  EXPECT_THROW(list.Insert(2, "far"), EkvException);
  EXPECT_EQ(list.Count(), 1);
}

TEST(StringList, SetTextSplitsAtEveryKindOfLineBreak) {
  struct TCase {
    const char* label;
    std::string text;
    std::vector<std::string> lines;
  };
  const TCase cases[] = {
      {"crlf", "a\r\nb\r\n", {"a", "b"}},
      {"no final break", "a\r\nb", {"a", "b"}},
      {"lf and cr", "a\nb\rc", {"a", "b", "c"}},
      {"empty lines kept", "a\r\n\r\nb\n\n", {"a", "", "b", ""}},
      {"lf cr is two breaks", "a\n\rb", {"a", "", "b"}},
      {"empty", "", {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.label);
    TStringList list;
    list.Add("old");
    list.SetText(c.text);
    std::vector<std::string> lines;
    for (int i = 0; i < list.Count(); ++i) lines.push_back(list.Strings(i));
    EXPECT_EQ(lines, c.lines);
  }
}

TEST(Format, FormatsNumbersAndTexts) {
  struct TCase {
    const char* format;
    TVarRecs args;
    const char* expected;
  };
  const TCase cases[] = {
      {"Fatal Error: %u, %u, %s", {8u, 1u, std::string("Device is not selected")},
       "Fatal Error: 8, 1, Device is not selected"},
      {"DoDataSend: %u bytes", {DWORD{10}}, "DoDataSend: 10 bytes"},
      {"%d/%d", {-5, 7}, "-5/7"},
      {"%d", {std::int64_t{-9223372036854775807LL - 1}}, "-9223372036854775808"},
      {"%u", {-1}, "4294967295"},
      {"%u", {static_cast<short>(-1)}, "65535"},
      {"%u", {std::uint64_t{18446744073709551615ULL}}, "18446744073709551615"},
      {"%x %X %.4x", {255, 255, 10}, "ff FF 000a"},
      {"[%5s][%-5s][%.2s]", {"ab", "ab", "abcdef"}, "[   ab][ab   ][ab]"},
      {"[%3d][%-3u][%.3d]", {-1, 7u, -7}, "[ -1][7  ][-007]"},
      {"100%% %s", {'x'}, "100% x"},
      {"%s", {static_cast<const char*>(nullptr)}, ""},
      {"no directives", {}, "no directives"},
      {"%u", {true}, "1"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.format);
    EXPECT_EQ(Format(c.format, c.args), c.expected);
  }
}

TEST(Format, RefusesDirectivesWithoutAMatchingArgument) {
  struct TCase {
    const char* label;
    const char* format;
    TVarRecs args;
  };
  const TCase cases[] = {
      {"missing argument", "%u, %s", {1u}},
      {"text for %u", "%u", {"x"}},
      {"number for %s", "%s", {5}},
      {"unknown directive", "%q", {5}},
      {"percent at the end", "abc %", {}},
      {"width without type", "%5", {5}},
      {"absurd width", "%99999999999999999999d", {5}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_THROW(Format(c.format, c.args), EkvException);
  }
}

}  // namespace
}  // namespace kv
