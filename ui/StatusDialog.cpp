#include "ui/StatusDialog.h"

#include "app/Bridge.h"
#include "ui/ResourceIds.h"
#include "ui/StatusPage.h"

namespace korven {
namespace {

constexpr UINT kTickPeriodMs = 10;
constexpr UINT kStatusPeriodMs = 1000;

UINT_PTR gTickTimer = 0;
UINT_PTR gStatusTimer = 0;

BOOL onInitDialog(HWND window) {
    setupTopicTabs(window);
    gTickTimer = SetTimer(window, ID_TIMER_TICK, kTickPeriodMs, nullptr);
    gStatusTimer = SetTimer(window, ID_TIMER_STATUS, kStatusPeriodMs, nullptr);
    return TRUE;
}

void onCommand(HWND window, WORD id) {
    switch (id) {
        case IDCANCEL:
            ShowWindow(window, SW_HIDE);
            break;
        case IDM_EXIT:
            DestroyWindow(window);
            break;
        default:
            break;
    }
}

}  // namespace

INT_PTR CALLBACK statusDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
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
        case WM_DESTROY:
            KillTimer(window, gTickTimer);
            KillTimer(window, gStatusTimer);
            PostQuitMessage(0);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace korven
