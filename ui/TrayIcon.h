#pragma once
// The notification-area icon of the status window and its one-item pop-up.
// Main thread only: the window's.
#include <windows.h>
#include <shellapi.h>

namespace korven {

constexpr UINT kTrayCallbackMessage = WM_USER;  // 1024

// Fills the first-version record, adds the icon and makes the pop-up menu.
void addTrayIcon(HWND window, HICON icon);
void deleteTrayIcon();
// The mouse message of a tray callback: left button shows the window,
// right button opens the pop-up with "&Exit".
void onTrayMessage(HWND window, LPARAM mouseMessage);

const NOTIFYICONDATAA& trayIconRecord();
HMENU trayMenu();

}  // namespace korven
