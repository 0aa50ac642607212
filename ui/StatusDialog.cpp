#include "ui/StatusDialog.h"

#include <commctrl.h>

#include "app/Bridge.h"
#include "opc/TopicGroup.h"
#include "ui/ResourceIds.h"
#include "ui/SpeedMenu.h"
#include "ui/StatusPage.h"
#include "ui/TrayIcon.h"

namespace korven {
namespace {

constexpr UINT kTickPeriodMs = 10;
constexpr UINT kStatusPeriodMs = 1000;

UINT_PTR gTickTimer = 0;
UINT_PTR gStatusTimer = 0;
HMENU gWindowMenu = nullptr;
bool gAlwaysOnTop = false;

BOOL onInitDialog(HWND window) {
    gWindowMenu = GetMenu(window);
    HICON icon = LoadIconA(nullptr, IDI_APPLICATION);
    SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    addTrayIcon(window, icon);
    setupTopicTabs(window);
    gTickTimer = SetTimer(window, ID_TIMER_TICK, kTickPeriodMs, nullptr);
    gStatusTimer = SetTimer(window, ID_TIMER_STATUS, kStatusPeriodMs, nullptr);
    return TRUE;
}

void toggleAlwaysOnTop(HWND window) {
    gAlwaysOnTop = !gAlwaysOnTop;
    CheckMenuItem(gWindowMenu, IDM_ALWAYS_ON_TOP,
                  MF_BYCOMMAND | (gAlwaysOnTop ? MF_CHECKED : MF_UNCHECKED));
    SetWindowPos(window, gAlwaysOnTop ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE);
}

void setSpeed(DWORD mode) {
    // The menu shows the choice also when the server refuses it.
    applySpeedMenu(gWindowMenu, mode);
    if (TopicGroup* group = selectedTopicGroup()) {
        group->setUpdateSpeed(mode);
    }
}

void onCommand(HWND window, WORD id) {
    switch (id) {
        case IDCANCEL:
            ShowWindow(window, SW_HIDE);
            break;
        case IDM_EXIT:
            DestroyWindow(window);
            break;
        case IDM_ALWAYS_ON_TOP:
            toggleAlwaysOnTop(window);
            break;
        case IDM_SPEED_HIGH:
        case IDM_SPEED_NORMAL:
        case IDM_SPEED_LOW:
        case IDM_SPEED_PAUSE:
            setSpeed(static_cast<DWORD>(id - IDM_SPEED_HIGH));
            break;
        case IDM_REFRESH_NOW:
            if (TopicGroup* group = selectedTopicGroup()) {
                group->refreshNow();
            }
            break;
        default:
            break;
    }
}

void onNotify(const NMHDR* header) {
    if (header == nullptr || header->code != static_cast<UINT>(TCN_SELCHANGE)) {
        return;
    }
    refreshStatusPage();
    if (TopicGroup* group = selectedTopicGroup()) {
        applySpeedMenu(gWindowMenu, group->speedMode);
    }
}

}  // namespace

namespace {

INT_PTR handleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            return onInitDialog(window);
        case WM_TIMER:
            if (wParam == ID_TIMER_TICK) {
                onTickTimer();
            } else if (wParam == ID_TIMER_STATUS) {
                onStatusTimer();
            }
            return TRUE;
        case WM_CLOSE:
            ShowWindow(window, SW_HIDE);
            return TRUE;
        case WM_COMMAND:
            onCommand(window, LOWORD(wParam));
            return TRUE;
        case WM_NOTIFY:
            onNotify(reinterpret_cast<const NMHDR*>(lParam));
            return TRUE;
        case kTrayCallbackMessage:
            onTrayMessage(window, lParam);
            return TRUE;
        case WM_DESTROY:
            KillTimer(window, gTickTimer);
            KillTimer(window, gStatusTimer);
            deleteTrayIcon();
            PostQuitMessage(0);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

INT_PTR CALLBACK statusDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // The timers drive all background work from here: a failure in one tick
    // must not unwind through the message loop and end the process.
    try {
        return handleMessage(window, message, wParam, lParam);
    } catch (...) {
        return TRUE;
    }
}

}  // namespace korven
