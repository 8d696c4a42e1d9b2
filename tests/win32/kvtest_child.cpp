// Child program of the process tests: kvtest_child <exit code> [event name]
// With an event name it first waits (at most 30 s) until the parent sets
// that event, so the parent can look at it while it still runs.
#include <windows.h>

#include <cstdlib>

int main(int argc, char** argv) {
  if (argc > 2) {
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, argv[2]);
    if (event == nullptr) return 1000;
    const DWORD waited = WaitForSingleObject(event, 30000);
    CloseHandle(event);
    if (waited != WAIT_OBJECT_0) return 1001;
  }
  return argc > 1 ? static_cast<int>(std::strtoul(argv[1], nullptr, 0)) : 0;
}
