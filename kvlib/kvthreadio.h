// The I/O thread of a communication component, and synchronised calls from it
// to the main thread. The component's side (starting and stopping the thread,
// the dispatch of received data and the terminal) is part of TkvBaseIO.
#pragma once

#include "kvclasses.h"
#include "kvbaseio.h"

namespace kv {

// Runs its component's ThreadExecute on a thread of its own, with COM
// initialised (multithreaded) around it. It starts when it is made and frees
// itself when its run ends; the component keeps a reference to the run, not
// to the object, to stop and wait for it.
class TkvThreadIO final : public TThread {
 public:
  explicit TkvThreadIO(TkvBaseIO* AOwner);

  TkvBaseIO* Owner() const { return FOwner; }

 protected:
  void Execute() override;

 private:
  TkvBaseIO* FOwner;
};

// Runs Method on the main thread through Thread's synchronisation, the
// calling thread waiting until it has run. On the main thread it runs at once.
void SynchronizeMethod(TThread* Thread, const TThreadMethod& Method);

}  // namespace kv
