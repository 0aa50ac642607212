#pragma once
// The process: start-up checks, the status window, the message loop, the
// timers' work and the exit handler that undoes start-up.
#include <windows.h>

namespace korven {

constexpr const char* kInstanceMutexName = "NEVROK_4F2A7C61-3B9E-4D05-9A1C-6E8B2D7F0A93";
constexpr const wchar_t* kProductTitle = L"KORVEN OPC-DDE Bridge";

// The process exit code when start-up or the window's creation failed (the
// message loop's own code, 0 after the exit command, otherwise).
constexpr int kFailedStartExitCode = 1;

// The whole life of the bridge; returns the process exit code.
int bridgeMain(HINSTANCE instance, int showState);

bool startUp();
bool createMainWindow(HINSTANCE instance, int showState);
void exitHandler();

// Timer work: every group's tick, and the status page.
void onTickTimer();
void onStatusTimer();

}  // namespace korven
