#include "WineUpdateHold.h"

#include <dde.h>

#include "WineRequestAck.h"

namespace ddetool {

namespace {

UpdateHold* g_hold = nullptr;  // the one hold in force (transactions do not nest)

// True for a WM_DDE_DATA that is an advise update: its data is not marked as
// the answer to a request, or it carries none (a warm link's notice).
bool isAdviseUpdate(const MSG& message) {
    if (message.message != WM_DDE_DATA) {
        return false;
    }
    UINT_PTR data = 0;
    UINT_PTR item = 0;
    if (!UnpackDDElParam(WM_DDE_DATA, message.lParam, &data, &item)) {
        return false;
    }
    if (data == 0) {
        return true;
    }
    const auto* header = static_cast<const DDEDATA*>(GlobalLock(reinterpret_cast<HGLOBAL>(data)));
    if (header == nullptr) {
        return false;
    }
    const bool response = header->fResponse != 0;
    GlobalUnlock(reinterpret_cast<HGLOBAL>(data));
    return !response;
}

}  // namespace

UpdateHold::UpdateHold(HCONV conversation) {
    if (!runningUnderWine() || g_hold != nullptr) {
        return;
    }
    CONVINFO info{};
    info.cb = sizeof info;
    if (DdeQueryConvInfo(conversation, QID_SYNC, &info) == 0 || info.hwnd == nullptr) {
        return;
    }
    window_ = info.hwnd;
    hook_ =
        SetWindowsHookExW(WH_GETMESSAGE, &UpdateHold::onGetMessage, nullptr, GetCurrentThreadId());
    if (hook_ != nullptr) {
        g_hold = this;
    }
}

UpdateHold::~UpdateHold() {
    if (hook_ == nullptr) {
        return;
    }
    UnhookWindowsHookEx(hook_);
    g_hold = nullptr;
    // No transaction waits now: DDEML's window takes each as an update.
    for (MSG& message : held_) {
        DispatchMessageW(&message);
    }
}

LRESULT CALLBACK UpdateHold::onGetMessage(int code, WPARAM removal, LPARAM message) {
    if (code == HC_ACTION && removal == PM_REMOVE && g_hold != nullptr) {
        MSG* msg = reinterpret_cast<MSG*>(message);
        if (msg->hwnd == g_hold->window_ && isAdviseUpdate(*msg)) {
            g_hold->held_.push_back(*msg);
            // What DDEML's wait loop gets instead: nothing for its window.
            msg->message = WM_NULL;
            msg->hwnd = nullptr;
            msg->wParam = 0;
            msg->lParam = 0;
        }
    }
    return CallNextHookEx(nullptr, code, removal, message);
}

}  // namespace ddetool
