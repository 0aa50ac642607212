// opcsim.exe: the OPC DA simulation server, a COM local server.
//
//   opcsim.exe /RegServer [/OwnProgIdOnly] | /UnregServer
//   opcsim.exe [-Embedding] [/Class=<n>] [/Folder=<folder>]
//
// A process serves one class (ServerClass.h; the first unless /Class= names
// another). The folder (else the class's registry value, e.g.
// HKCU\Software\Korven\OpcSim "Folder") holds the scenario (scenario.txt),
// the journal (journal.log) and the control commands (*.cmd); see README.md.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <string>

#include "ClassFactory.h"
#include "Registration.h"
#include "ServerClass.h"
#include "Journal.h"
#include "Simulation.h"
#include "ValueText.h"

namespace {

// The timer of a delayed class registration (group timers count from 1).
constexpr UINT_PTR kRegistrationTimer = 0x7FFF0002;

std::wstring folderFromRegistry(const opcsim::ServerClass& served) {
    wchar_t buffer[MAX_PATH] = {};
    DWORD size = sizeof buffer;
    if (RegGetValueW(HKEY_CURRENT_USER, served.folderKey, L"Folder", RRF_RT_REG_SZ, nullptr, buffer,
                     &size) != ERROR_SUCCESS) {
        return {};
    }
    return buffer;
}

bool isSwitch(const std::wstring& arg, const wchar_t* name) {
    return arg.size() > 1 && (arg[0] == L'/' || arg[0] == L'-') &&
           _wcsicmp(arg.c_str() + 1, name) == 0;
}

}  // namespace

int main() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    bool regServer = false, unregServer = false, embedded = false, ownProgIdOnly = false;
    std::wstring folder;
    bool folderGiven = false;
    const opcsim::ServerClass* served = &opcsim::serverClasses().front();
    for (int i = 1; argv && i < argc; ++i) {
        std::wstring arg = argv[i];
        if (isSwitch(arg, L"RegServer")) {
            regServer = true;
        } else if (isSwitch(arg, L"UnregServer")) {
            unregServer = true;
        } else if (isSwitch(arg, L"OwnProgIdOnly")) {
            ownProgIdOnly = true;
        } else if (isSwitch(arg, L"Embedding")) {
            embedded = true;
        } else if (arg.size() > 8 && _wcsnicmp(arg.c_str() + 1, L"Folder=", 7) == 0) {
            folder = arg.substr(8);
            folderGiven = true;
        } else if (arg.size() > 7 && _wcsnicmp(arg.c_str() + 1, L"Class=", 6) == 0 &&
                   opcsim::findServerClass(_wtoi(arg.c_str() + 7))) {
            served = opcsim::findServerClass(_wtoi(arg.c_str() + 7));
        } else {
            std::fprintf(stderr, "opcsim: unknown argument %s\n", opcsim::toUtf8(arg).c_str());
            return 2;
        }
    }
    wchar_t exePath[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exePath, MAX_PATH);
    LocalFree(argv);

    if (regServer || unregServer) {
        std::wstring error =
            regServer ? opcsim::registerServer(exePath, ownProgIdOnly) : opcsim::unregisterServer();
        if (!error.empty()) {
            std::fprintf(stderr, "opcsim: %s\n", opcsim::toUtf8(error).c_str());
            return 1;
        }
        return 0;
    }

    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        std::fprintf(stderr, "opcsim: COM initialisation failed\n");
        return 1;
    }
    CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE,
                         RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    opcsim::Simulation& sim = opcsim::Simulation::get();
    std::string error = sim.load(folderGiven ? folder : folderFromRegistry(*served));
    if (!error.empty()) {
        std::fprintf(stderr, "opcsim: %s\n", error.c_str());
    }
    static opcsim::ClassFactory factory;
    if (!sim.createWindow(GetModuleHandleW(nullptr), embedded)) {
        std::fprintf(stderr, "opcsim: cannot create the server's window\n");
        CoUninitialize();
        return 1;
    }
    // The class object is registered after the scenario's start delay: an
    // activation waits for it meanwhile, while the control channel works.
    const DWORD delay = sim.scenario().server.startDelay;
    DWORD cookie = 0;
    bool registered = false, failed = false;
    auto registerClass = [&] {
        const HRESULT hr = CoRegisterClassObject(served->clsid, &factory, CLSCTX_LOCAL_SERVER,
                                                 REGCLS_MULTIPLEUSE, &cookie);
        sim.journal().write(opcsim::JournalLine("Server.Registered")
                                .text("progId", served->progId)
                                .arg("delay", delay)
                                .result(hr));
        registered = SUCCEEDED(hr);
        failed = !registered;
        if (registered) {
            sim.classRegistered();
        } else {
            std::fprintf(stderr, "opcsim: cannot register the class object\n");
            sim.requestExit("class object not registered");
        }
    };
    if (delay == 0) {
        registerClass();
    } else {
        sim.setTimer(kRegistrationTimer, delay, [&] {
            sim.killTimer(kRegistrationTimer);
            registerClass();
        });
    }
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    if (registered) {
        CoRevokeClassObject(cookie);
    }
    // No CoUninitialize: a call that reaches the server after its loop has
    // ended (a client's release racing the exit command, say) is never
    // dispatched, and CoUninitialize would wait for it for ever (seen under
    // Wine 8). Ending the process fails such calls as the client expects.
    return failed ? 1 : 0;
}
