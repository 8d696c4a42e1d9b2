// The host's edit control (natively the POSIX host's own, under Wine the
// system's), as a terminal uses it: text arrives with EM_REPLACESEL and
// WM_CHAR, often from another thread.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "kvplatform.h"

namespace {

using namespace kv;

TkvHost& H() { return NativeHost(); }

constexpr UINT EM_SETLIMITTEXT = 0x00C5;
constexpr UINT EM_GETLIMITTEXT = 0x00D5;
constexpr UINT EM_SETREADONLY = 0x00CF;
constexpr UINT EM_GETLINECOUNT = 0x00BA;
constexpr UINT EM_LINEINDEX = 0x00BB;
// A terminal's styles: without the scrolling styles Windows takes no more text
// than the window shows.
constexpr DWORD kEsAutoVScroll = 0x0040;
constexpr DWORD kEsAutoHScroll = 0x0080;

class HostEdit : public ::testing::Test {
 protected:
  void SetUp() override {
    Edit = H().CreateWindowExA(0, "EDIT", "", ES_MULTILINE | kEsAutoVScroll | kEsAutoHScroll, 0, 0, 100, 100,
                               nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(Edit, nullptr);
  }
  void TearDown() override { H().DestroyWindow(Edit); }

  std::string Text() {
    const auto length = H().SendMessageA(Edit, WM_GETTEXTLENGTH, 0, 0);
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    H().SendMessageA(Edit, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<std::size_t>(length));
    return text;
  }
  void Replace(const char* text) { H().SendMessageA(Edit, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(text)); }
  void Type(char c) { H().SendMessageA(Edit, WM_CHAR, static_cast<unsigned char>(c), 1); }
  void Select(int start, int end) {
    H().SendMessageA(Edit, EM_SETSEL, static_cast<WPARAM>(start), static_cast<LPARAM>(end));
  }
  std::pair<DWORD, DWORD> Selection() {
    DWORD start = 99, end = 99;
    const LRESULT packed = H().SendMessageA(Edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                                            reinterpret_cast<LPARAM>(&end));
    EXPECT_EQ(packed, static_cast<LRESULT>(end << 16 | start));
    return {start, end};
  }

  HWND Edit = nullptr;
};

TEST_F(HostEdit, ReplaceSelInsertsAtTheCaretAndLeavesItBehindTheText) {
  Replace("Hello");
  Replace(", world");
  EXPECT_EQ(Text(), "Hello, world");
  EXPECT_EQ(Selection(), std::make_pair(12u, 12u));
  Select(5, 12);
  EXPECT_EQ(Selection(), std::make_pair(5u, 12u));
  Replace("!");
  EXPECT_EQ(Text(), "Hello!");
  EXPECT_EQ(Selection(), std::make_pair(6u, 6u));
  // Control characters are inserted as they are.
  Replace("\x01\r");
  EXPECT_EQ(Text(), "Hello!\x01\r");
}

TEST_F(HostEdit, SetSelClampsReversesAndSelectsAll) {
  Replace("abcdef");
  Select(4, 2);  // the caret may stand before the anchor
  EXPECT_EQ(Selection(), std::make_pair(2u, 4u));
  Replace("X");
  EXPECT_EQ(Text(), "abXef");
  Select(0, -1);
  EXPECT_EQ(Selection(), std::make_pair(0u, 5u));
  Select(-1, 0);  // drops the selection, keeps the caret
  EXPECT_EQ(Selection(), std::make_pair(5u, 5u));
  Select(100, 200);
  EXPECT_EQ(Selection(), std::make_pair(5u, 5u));
}

TEST_F(HostEdit, SetTextPutsTheCaretAtTheStartAsWindowsDoes) {
  ASSERT_TRUE(H().SendMessageA(Edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("tail")));
  EXPECT_EQ(Selection(), std::make_pair(0u, 0u));
  Replace(">");
  EXPECT_EQ(Text(), ">tail");
}

TEST_F(HostEdit, TypedCharactersFollowTheEditsRules) {
  for (char c : std::string("ab")) Type(c);
  Type('\b');
  EXPECT_EQ(Text(), "a");
  Type('\r');  // Enter in a multi-line edit
  Type('c');
  EXPECT_EQ(Text(), "a\r\nc");
  Type('\b');
  Type('\b');  // the line break goes as one character
  EXPECT_EQ(Text(), "a");
  Type('\x03');  // editing commands insert nothing
  Type('\t');
  EXPECT_EQ(Text(), "a\t");
  Select(0, -1);
  Type('z');  // replaces the selection
  EXPECT_EQ(Text(), "z");
  Type('\b');
  Type('\b');  // nothing left to delete
  EXPECT_EQ(Text(), "");
}

TEST_F(HostEdit, ASingleLineEditIgnoresEnterAndAReadOnlyEditIgnoresTyping) {
  HWND single = H().CreateWindowExA(0, "Edit", "x", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(single, nullptr);
  H().SendMessageA(single, EM_SETSEL, 1, 1);
  H().SendMessageA(single, WM_CHAR, '\r', 1);
  char text[8];
  H().SendMessageA(single, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
  EXPECT_STREQ(text, "x");
  H().DestroyWindow(single);

  Replace("ro");
  ASSERT_TRUE(H().SendMessageA(Edit, EM_SETREADONLY, TRUE, 0));
  Type('x');
  Type('\b');
  EXPECT_EQ(Text(), "ro");
  Replace("!");  // the program may still write
  EXPECT_EQ(Text(), "ro!");
}

TEST_F(HostEdit, TheTextLimitStopsInsertionsButNotSetText) {
  EXPECT_EQ(H().SendMessageA(Edit, EM_GETLIMITTEXT, 0, 0), 30000);
  const std::string big(29995, 'a');
  Replace(big.c_str());
  Replace("0123456789");
  EXPECT_EQ(Text().size(), 30000u);
  EXPECT_EQ(Text().substr(29995), "01234");
  Type('x');
  EXPECT_EQ(Text().size(), 30000u);

  H().SendMessageA(Edit, EM_SETLIMITTEXT, 0, 0);  // as large as a multi-line edit goes
  Replace("more");
  EXPECT_EQ(Text().size(), 30004u);

  H().SendMessageA(Edit, EM_SETLIMITTEXT, 3, 0);
  const std::string longer(40, 'b');
  ASSERT_TRUE(H().SendMessageA(Edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(longer.c_str())));
  EXPECT_EQ(Text(), longer);
}

TEST_F(HostEdit, LinesAreCountedAtLineFeeds) {
  Replace("one\r\ntwo\r\nthree");
  EXPECT_EQ(H().SendMessageA(Edit, EM_GETLINECOUNT, 0, 0), 3);
  EXPECT_EQ(H().SendMessageA(Edit, EM_LINEINDEX, 2, 0), 10);
  EXPECT_EQ(H().SendMessageA(Edit, EM_LINEINDEX, 3, 0), -1);
}

TEST_F(HostEdit, AnotherThreadWritesThroughTheOwnersLoopAndASubclassSeesIt) {
  // The terminal's shape: the edit is subclassed on its own thread and an I/O
  // thread writes to it with SendMessageA.
  static WNDPROC previous = nullptr;
  static int hooked = 0;
  hooked = 0;
  previous = reinterpret_cast<WNDPROC>(H().SetWindowLongPtrA(
      Edit, GWLP_WNDPROC,
      reinterpret_cast<LONG_PTR>(+[](HWND w, UINT msg, WPARAM wParam, LPARAM lParam) -> LRESULT {
        if (msg == EM_REPLACESEL || msg == WM_CHAR) ++hooked;
        return H().CallWindowProcA(previous, w, msg, wParam, lParam);
      })));
  ASSERT_NE(previous, nullptr);
  std::thread writer([&] {
    H().SendMessageA(Edit, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>("AB"));
    H().SendMessageA(Edit, WM_CHAR, 'C', 1);
    H().PostMessageA(Edit, WM_USER, 0, 0);
  });
  MSG msg;
  while (H().GetMessageA(&msg, nullptr, 0, 0) > 0 && msg.message != WM_USER) H().DispatchMessageA(&msg);
  writer.join();
  EXPECT_EQ(Text(), "ABC");
  EXPECT_EQ(hooked, 2);
  H().SetWindowLongPtrA(Edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
}

TEST(HostControls, StaticAndButtonHoldTheirText) {
  for (const char* cls : {"STATIC", "Button"}) {
    HWND w = H().CreateWindowExA(0, cls, "label", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(w, nullptr) << cls;
    EXPECT_EQ(H().SendMessageA(w, WM_GETTEXTLENGTH, 0, 0), 5) << cls;
    H().DestroyWindow(w);
  }
}

}  // namespace
