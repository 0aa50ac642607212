#include "common/BridgeLock.h"

namespace korven {
namespace {

CRITICAL_SECTION gSection;
bool gInitialised = false;

}  // namespace

void BridgeLock::initialise() {
    if (!gInitialised) {
        InitializeCriticalSection(&gSection);
        gInitialised = true;
    }
}

void BridgeLock::remove() {
    if (gInitialised) {
        DeleteCriticalSection(&gSection);
        gInitialised = false;
    }
}

void BridgeLock::enter() {
    if (gInitialised) {
        EnterCriticalSection(&gSection);
    }
}

void BridgeLock::leave() {
    if (gInitialised) {
        LeaveCriticalSection(&gSection);
    }
}

}  // namespace korven
