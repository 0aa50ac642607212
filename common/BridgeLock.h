#pragma once
// The one re-entrant lock of the bridge, held around every operation on a
// topic group's item-side state on the main thread; DDEML's callbacks that
// arrive inside the main thread's own DDEML calls enter it again. The topics'
// OPC sides live on threads of their own and never take it: nothing holds it
// across a call to a server.
#include <windows.h>

namespace korven {

class BridgeLock {
  public:
    static void initialise();
    static void remove();
    static void enter();
    static void leave();
};

// Holds BridgeLock for a scope.
class BridgeLockHold {
  public:
    BridgeLockHold() { BridgeLock::enter(); }
    ~BridgeLockHold() { BridgeLock::leave(); }
    BridgeLockHold(const BridgeLockHold&) = delete;
    BridgeLockHold& operator=(const BridgeLockHold&) = delete;
};

}  // namespace korven
