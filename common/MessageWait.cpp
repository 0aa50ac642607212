#include "common/MessageWait.h"

#include "common/TickClock.h"

namespace korven {
namespace {

// Dispatches the waiting messages; false when the loop's end was among them.
bool dispatchWaitingMessages() {
    MSG message{};
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            // Kept for the message loop that ends on it.
            PostQuitMessage(static_cast<int>(message.wParam));
            return false;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return true;
}

int signalled(const HANDLE* handles, DWORD count) {
    const DWORD woken = WaitForMultipleObjects(count, handles, FALSE, 0);
    return woken < WAIT_OBJECT_0 + count ? static_cast<int>(woken - WAIT_OBJECT_0) : -1;
}

}  // namespace

int waitDispatching(const HANDLE* handles, DWORD count, ULONGLONG deadline) {
    while (true) {
        DWORD wait = INFINITE;
        if (deadline != kNoDeadline) {
            const ULONGLONG now = tickCount();
            wait = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        }
        const DWORD woken =
            MsgWaitForMultipleObjectsEx(count, handles, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (woken < WAIT_OBJECT_0 + count) {
            return static_cast<int>(woken - WAIT_OBJECT_0);
        }
        if (woken != WAIT_OBJECT_0 + count) {
            return -1;  // the deadline, or a failed wait
        }
        if (!dispatchWaitingMessages()) {
            return signalled(handles, count);
        }
    }
}

}  // namespace korven
