#pragma once
// The dialog procedure of the status window "OPC Status". Main thread only:
// the window's.
#include <windows.h>

namespace korven {

INT_PTR CALLBACK statusDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace korven
