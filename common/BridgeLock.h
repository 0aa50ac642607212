#pragma once
// The one re-entrant lock of the bridge, held around every operation on a
// topic group's item-side state and OPC interfaces. Callbacks that arrive on
// the same thread inside an outgoing call enter it again.
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
