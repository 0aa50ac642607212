// The COM classes this build of the simulation serves. Each class has its own
// ProgIDs and its own folder (the registry value that names it), and a
// process serves one class only: COM starts each class in a process of its
// own, so a client that creates two of them talks to two servers.
//
//   64-bit build: Korven.OpcSim.1 (also Velmora.Ctrl9.1, the bridge's default,
//                 unless registered with /OwnProgIdOnly) and Korven.OpcSim2.1
//                 (started with /Class=2)
//   32-bit build: Korven.OpcSim32.1, so that in a WoW64 prefix the 64-bit
//                 server keeps its own ProgIDs beside it
#pragma once

#include <windows.h>

#include <vector>

namespace opcsim {

struct ServerClass {
    int number = 1;  // the /Class=<number> switch of a process that serves it
    CLSID clsid{};
    const wchar_t* progId = nullptr;
    const wchar_t* versionIndependentProgId = nullptr;
    const wchar_t* description = nullptr;
    const wchar_t* folderKey = nullptr;  // under HKCU, value "Folder"
    bool takesBridgeDefault = false;     // registered as Velmora.Ctrl9.1 too
};

inline constexpr wchar_t kBridgeDefaultProgId[] = L"Velmora.Ctrl9.1";

// The classes of this build, the first one served when no /Class= is given.
const std::vector<ServerClass>& serverClasses();
// The class of that number, or null.
const ServerClass* findServerClass(int number);

}  // namespace opcsim
