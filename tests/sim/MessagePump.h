#pragma once
// Waiting in a single-threaded apartment: the test's thread receives the
// server's callbacks as messages, so every wait pumps them.
#include <windows.h>

#include <algorithm>
#include <functional>

namespace simtest {

inline constexpr DWORD kTimeoutMs = 20000;

// Pumps messages until done() holds (true) or the time is up (false).
inline bool pumpUntil(const std::function<bool()>& done, DWORD timeoutMs = kTimeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (true) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (done()) {
            return true;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE,
                                  static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 20)),
                                  QS_ALLINPUT);
    }
}

}  // namespace simtest
