#include "WineRequestAck.h"

#include <dde.h>

namespace ddetool {

bool runningUnderWine() {
    static const bool wine = [] {
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    return wine;
}

void consumeTrailingRequestAck(HCONV conversation, DWORD timeoutMs) {
    if (!runningUnderWine()) {
        return;
    }
    CONVINFO info{};
    info.cb = sizeof info;
    if (DdeQueryConvInfo(conversation, QID_SYNC, &info) == 0 || info.hwnd == nullptr) {
        return;
    }
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (true) {
        MSG msg;
        if (PeekMessageW(&msg, info.hwnd, WM_DDE_ACK, WM_DDE_ACK, PM_REMOVE)) {
            DispatchMessageW(&msg);  // DDEML's conversation window: no transaction waits
            return;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            return;
        }
        const DWORD left = static_cast<DWORD>(deadline - now);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, left < 10 ? left : 10, QS_POSTMESSAGE);
    }
}

}  // namespace ddetool
