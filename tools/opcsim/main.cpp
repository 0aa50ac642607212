// opcsim.exe: the OPC DA 1.0 simulation server, a COM local server.
//
//   opcsim.exe /RegServer [/OwnProgIdOnly] | /UnregServer
//   opcsim.exe [-Embedding] [/Folder=<folder>]
//
// The folder (else HKCU\Software\Korven\OpcSim value "Folder") holds the
// scenario (scenario.txt), the journal (journal.log) and the control
// commands (*.cmd); see README.md.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <string>

#include "ClassFactory.h"
#include "Registration.h"
#include "Simulation.h"
#include "ValueText.h"

namespace {

std::wstring folderFromRegistry() {
    wchar_t buffer[MAX_PATH] = {};
    DWORD size = sizeof buffer;
    if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\Korven\\OpcSim", L"Folder", RRF_RT_REG_SZ,
                     nullptr, buffer, &size) != ERROR_SUCCESS) {
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
    std::string error = sim.load(folderGiven ? folder : folderFromRegistry());
    if (!error.empty()) {
        std::fprintf(stderr, "opcsim: %s\n", error.c_str());
    }
    int rc = 1;
    static opcsim::ClassFactory factory;
    DWORD cookie = 0;
    if (sim.createWindow(GetModuleHandleW(nullptr), embedded) &&
        SUCCEEDED(CoRegisterClassObject(opcsim::CLSID_KorvenOpcSim, &factory, CLSCTX_LOCAL_SERVER,
                                        REGCLS_MULTIPLEUSE, &cookie))) {
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        CoRevokeClassObject(cookie);
        rc = 0;
    } else {
        std::fprintf(stderr, "opcsim: cannot register the class object\n");
    }
    CoUninitialize();
    return rc;
}
