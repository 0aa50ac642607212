#include "ui/TrayIcon.h"

#include <cstring>

#include "ui/ResourceIds.h"

namespace korven {
namespace {

NOTIFYICONDATAA gRecord{};
HMENU gTrayMenu = nullptr;

}  // namespace

void addTrayIcon(HWND window, HICON icon) {
    std::memset(&gRecord, 0, sizeof gRecord);
    gRecord.cbSize = NOTIFYICONDATAA_V1_SIZE;
    gRecord.hWnd = window;
    gRecord.uID = 0;
    gRecord.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    gRecord.uCallbackMessage = kTrayCallbackMessage;
    gRecord.hIcon = icon;
    std::strcpy(gRecord.szTip, "KORVEN");
    Shell_NotifyIconA(NIM_ADD, &gRecord);

    gTrayMenu = CreateMenu();
    HMENU popup = CreatePopupMenu();
    AppendMenuA(popup, MF_STRING, IDM_EXIT, "&Exit");
    AppendMenuA(gTrayMenu, MF_POPUP, reinterpret_cast<UINT_PTR>(popup), nullptr);
}

void deleteTrayIcon() {
    Shell_NotifyIconA(NIM_DELETE, &gRecord);
}

void onTrayMessage(HWND window, LPARAM mouseMessage) {
    switch (mouseMessage) {
        case WM_LBUTTONDOWN:
            SetForegroundWindow(window);
            ShowWindow(window, SW_SHOWNORMAL);
            break;
        case WM_RBUTTONDOWN: {
            POINT cursor{};
            GetCursorPos(&cursor);
            SetForegroundWindow(window);
            TrackPopupMenu(GetSubMenu(gTrayMenu, 0), 0, cursor.x, cursor.y, 0, window, nullptr);
            PostMessageA(window, WM_NULL, 0, 0);
            break;
        }
        default:
            break;
    }
}

const NOTIFYICONDATAA& trayIconRecord() {
    return gRecord;
}

HMENU trayMenu() {
    return gTrayMenu;
}

}  // namespace korven
