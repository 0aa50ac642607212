// Entry of KORVEN.exe.
#include <windows.h>

#include "app/Bridge.h"

int main() {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    // The show-window value is taken as it stands.
    GetCommandLineA();
    return korven::bridgeMain(GetModuleHandleA(nullptr), startup.wShowWindow);
}
