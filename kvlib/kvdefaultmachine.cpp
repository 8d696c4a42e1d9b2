// Which machine the library inspects until a program or a test installs one:
// the real machine where there is one (the Windows builds), elsewhere the
// built-in demo machine, so every program has something to show. Chosen here,
// beside the implementations, so the seam depends on none of them.
#include "kvplatform.h"
#include "sim/kvsimmachine.h"

namespace kv {

TkvMachine& DefaultMachine() {
  if (TkvMachine* real = RealMachine()) return *real;
  return DemoMachine();
}

}  // namespace kv
