// The terminal: received bytes echoed into an edit, typed characters sent,
// the hook as the edit's window procedure, and what the usage changes. Under
// Wine the edit is the system's own.
#include "comptest.h"

#include <memory>
#include <thread>

namespace kv::test {
namespace {

// An edit whose messages are recorded underneath the terminal's hook.
struct TTerminalFixture : ::testing::Test {
  TTestIO Io{nullptr};
  std::unique_ptr<TkvEdit> Edit = std::make_unique<TkvEdit>(nullptr);
  std::vector<std::string> Replaced;  // texts of EM_REPLACESEL
  std::vector<WPARAM> Chars;          // WM_CHAR that reached the edit
  std::vector<bool> EchoingSeen;

  void SetUp() override {
    TWndMethod own = Edit->WindowProc();
    Edit->SetWindowProc([this, own](TMessage& m) {
      if (m.Msg == EM_REPLACESEL) {
        Replaced.emplace_back(reinterpret_cast<const char*>(m.LParam));
        EchoingSeen.push_back(Io.Echoing());
      }
      if (m.Msg == WM_CHAR) {
        Chars.push_back(m.WParam);
        EchoingSeen.push_back(Io.Echoing());
      }
      own(m);
    });
    Io.SetTerminal(Edit.get());
  }
  void Receive(std::vector<BYTE> bytes) { Io.DoDataReceived(bytes.data(), static_cast<DWORD>(bytes.size())); }
};

TEST_F(TTerminalFixture, OneByteIsTypedAndMoreAreInsertedInRunsBetweenZeros) {
  Io.SetTerminalUsage(tuReceive);
  EXPECT_EQ(Io.TerminalHandle(), Edit->Handle());
  Receive({65});
  EXPECT_EQ(Chars, std::vector<WPARAM>{65});
  Receive({'A', 'B'});
  Receive({65, 0, 0, 66, 67});
  Receive({0, 0});
  Receive({'x', 0});
  EXPECT_EQ(Replaced, (std::vector<std::string>{"AB", "A", "BC", "x"}));
  EXPECT_EQ(Edit->Text(), "AABABCx");
  EXPECT_EQ(EchoingSeen, std::vector<bool>(5, true));  // the hook knew each was an echo
  EXPECT_FALSE(Io.Echoing());
}

TEST_F(TTerminalFixture, ABlockIsReadOnlyAsFarAsItsCount) {
  Io.SetTerminalUsage(tuBoth);
  // Exactly Count bytes on the heap, no terminating zero behind them.
  const DWORD count = 40;
  auto block = std::make_unique<BYTE[]>(count);
  for (DWORD i = 0; i < count; ++i) block[i] = static_cast<BYTE>('a' + i % 26);
  Io.TerminalWrite(block.get(), count);
  Io.TerminalWrite(block.get(), 0);
  Io.TerminalWrite(nullptr, 5);
  ASSERT_EQ(Replaced.size(), 1u);
  EXPECT_EQ(Replaced[0].size(), count);
  EXPECT_TRUE(Chars.empty());
}

TEST_F(TTerminalFixture, SingleBytesActAsKeysAndControlBytesOfABlockAsText) {
  Io.SetTerminalUsage(tuReceive);
  Receive({'a', 'b'});
  Receive({8});  // backspace
  Receive({13});
  Receive({'c'});
  EXPECT_EQ(Edit->Text(), "a\r\nc");
  Receive({'\t', 'z'});  // inserted as it is
  EXPECT_EQ(Edit->Text(), "a\r\nc\tz");
}

TEST_F(TTerminalFixture, TypedCharactersFollowTheUsage) {
  HWND window = Edit->Handle();
  Io.SetTerminalUsage(tuReceive);  // typing is the edit's own business
  Type(window, 'q');
  EXPECT_EQ(Io.Sent, "");
  EXPECT_EQ(Edit->Text(), "q");

  for (TTerminalUsage usage : {tuSend, tuBoth}) {
    Io.SetTerminalUsage(usage);
    Type(window, 'w');
  }
  EXPECT_EQ(Io.Sent, "ww");  // sent, and shown only if the device echoes
  EXPECT_EQ(Edit->Text(), "q");
  Io.SetTerminalUsage(tuSend);  // received bytes show nowhere
  EXPECT_EQ(Io.TerminalHandle(), nullptr);
  Receive({'a', 'b'});
  Receive({'c'});
  EXPECT_EQ(Edit->Text(), "q");

  Io.SetTerminalUsage(tuNone);
  Type(window, 'e');
  EXPECT_EQ(Io.Sent, "ww");
  EXPECT_EQ(Edit->Text(), "qe");
  // Other messages always reach the edit.
  Host().SendMessageA(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("reset"));
  EXPECT_EQ(Edit->Text(), "reset");

  // A key typed while another thread's echo waits for this thread is still
  // the user's: it is sent, and only the echo is inserted.
  Io.SetTerminalUsage(tuBoth);
  Host().SendMessageA(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(""));
  std::thread reader([&] {
    const BYTE echo = 'x';
    Io.TerminalWrite(&echo, 1);
  });
  // Not serving its message yet; bounded, so a broken echo fails instead of hanging.
  for (int i = 0; i < 5000 && !Io.Echoing(); ++i) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(Io.Echoing());
  const MSG typed{window, WM_CHAR, 'k', 1, 0, {0, 0}};
  Host().DispatchMessageA(&typed);
  EXPECT_TRUE(PumpUntil([&] { return !Io.Echoing(); }));
  reader.join();
  EXPECT_EQ(Io.Sent, "wwk");
  EXPECT_EQ(Edit->Text(), "x");
}

TEST_F(TTerminalFixture, AnotherEditOrNoneGivesTheFirstItsOwnProcedureBack) {
  Io.SetTerminalUsage(tuBoth);
  Io.SetTerminal(Edit.get());  // the same edit again: still one hook
  HWND first = Edit->Handle();
  Type(first, 'a');
  EXPECT_EQ(Io.Sent, "a");

  TkvEdit second(nullptr);
  Io.SetTerminal(&second);
  EXPECT_EQ(Io.TerminalHandle(), second.Handle());
  Type(first, 'b');  // the first edit types for itself again
  EXPECT_EQ(Edit->Text(), "b");
  EXPECT_EQ(Chars.back(), WPARAM('b'));
  Type(second.Handle(), 'c');
  EXPECT_EQ(Io.Sent, "ac");

  Io.SetTerminal(nullptr);
  EXPECT_EQ(Io.TerminalHandle(), nullptr);
  Type(second.Handle(), 'd');
  EXPECT_EQ(second.Text(), "d");
  EXPECT_EQ(Io.Sent, "ac");
}

TEST_F(TTerminalFixture, AnEditWhoseWindowCannotBeMadeChangesNothing) {
  Io.SetTerminalUsage(tuBoth);
  TkvHost& host = Host();
  HWND gone = host.CreateWindowExA(0, "EDIT", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                   host.GetModuleHandleA(nullptr), nullptr);
  host.DestroyWindow(gone);
  auto broken = std::make_unique<TkvEdit>(nullptr);
  broken->SetParentWindow(gone);  // its window cannot be made
  EXPECT_THROW(Io.SetTerminal(broken.get()), EkvException);
  broken.reset();  // a terminal or hook left with it would dangle now
  EXPECT_EQ(Io.Terminal(), Edit.get());
  EXPECT_EQ(Io.TerminalHandle(), Edit->Handle());
  Type(Edit->Handle(), 'a');  // still hooked
  EXPECT_EQ(Io.Sent, "a");
  Receive({'o', 'k'});
  EXPECT_EQ(Edit->Text(), "ok");
}

TEST_F(TTerminalFixture, ADestroyedEditIsForgotten) {
  Io.SetTerminalUsage(tuBoth);
  EXPECT_TRUE(Io.HasReceivers());
  HWND window = Edit->Handle();
  Edit.reset();
  EXPECT_EQ(Io.Terminal(), nullptr);
  EXPECT_EQ(Io.TerminalHandle(), nullptr);
  EXPECT_FALSE(Io.HasReceivers());
  EXPECT_FALSE(Host().IsWindow(window));
  Receive({'a', 'b'});  // echoed nowhere, and nothing breaks
  EXPECT_TRUE(Replaced.empty());
  EXPECT_EQ(Io.Sent, "");
}

TEST_F(TTerminalFixture, AComponentThatGoesGivesTheEditBackItsProcedure) {
  auto io = std::make_unique<TTestIO>(nullptr);
  TkvEdit edit(nullptr);
  io->SetTerminal(&edit);
  io->SetTerminalUsage(tuBoth);
  io.reset();
  Type(edit.Handle(), 'k');  // no hook of a freed component may run
  EXPECT_EQ(edit.Text(), "k");
}

TEST(TerminalDesign, AnEditAssignedAtDesignTimeServesBothWays) {
  TTestIO io(nullptr);
  TkvEdit edit(nullptr);
  io.SetDesigning(true);
  io.SetTerminal(&edit);
  EXPECT_EQ(io.TerminalUsage(), tuBoth);
  EXPECT_EQ(io.TerminalHandle(), edit.Handle());
  io.SetTerminalUsage(tuSend);
  io.SetTerminal(&edit);  // an explicit usage is kept
  EXPECT_EQ(io.TerminalUsage(), tuSend);
}

TEST(TerminalLoading, LoadedAppliesTheStreamedTerminalAndUsage) {
  TComponent form(nullptr);
  auto* edit = new TkvEdit(&form);
  auto* io = new TTestIO(&form);
  form.BeginLoading();
  io->SetTerminal(edit);
  io->SetTerminalUsage(tuReceive);
  form.EndLoading();
  EXPECT_EQ(io->TerminalHandle(), edit->Handle());
  BYTE data[] = {'h', 'i'};
  io->DoDataReceived(data, 2);
  EXPECT_EQ(edit->Text(), "hi");
}

TEST(TerminalEdit, AnAdoptedWindowIsGivenBackAndNotDestroyed) {
  TkvHost& host = Host();
  HWND window = host.CreateWindowExA(0, "EDIT", "", WS_POPUP | ES_MULTILINE, 0, 0, 200, 100, nullptr, nullptr,
                                     host.GetModuleHandleA(nullptr), nullptr);
  ASSERT_NE(window, nullptr);
  const LONG_PTR own = host.GetWindowLongPtrA(window, GWLP_WNDPROC);
  {
    TkvEdit edit(nullptr);
    edit.AttachHandle(window);
    EXPECT_EQ(edit.Handle(), window);
    EXPECT_NE(host.GetWindowLongPtrA(window, GWLP_WNDPROC), own);
    edit.SetText("kept");
  }
  EXPECT_TRUE(host.IsWindow(window));
  EXPECT_EQ(host.GetWindowLongPtrA(window, GWLP_WNDPROC), own);
  char text[16] = {};
  host.SendMessageA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
  EXPECT_STREQ(text, "kept");
  host.DestroyWindow(window);
}

}  // namespace
}  // namespace kv::test
