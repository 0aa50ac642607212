#include "Registration.h"

#include <windows.h>
#include <objbase.h>

#include <vector>

#include "OpcDa.h"
#include "ServerClass.h"

namespace opcsim {
namespace {

// The OPC DA versions every class serves (the scenario may narrow it at run
// time; the registration says what the program can serve).
struct Category {
    const GUID& catid;
    const wchar_t* name;
};
const Category kCategories[] = {
    {CATID_OPCDAServer10, L"OPC Data Access Servers Version 1.0"},
    {CATID_OPCDAServer20, L"OPC Data Access Servers Version 2.0"},
};

std::wstring guidText(REFGUID guid) {
    wchar_t buffer[64] = {};
    StringFromGUID2(guid, buffer, 64);
    return buffer;
}

// Writes the default value (and, if given, one named value) of HKCR\<key>.
bool setKey(const std::wstring& key, const std::wstring& value, const wchar_t* name = nullptr) {
    HKEY handle = nullptr;
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle,
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    LONG rc = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
    return rc == ERROR_SUCCESS;
}

std::wstring readDefault(const std::wstring& key) {
    wchar_t buffer[256] = {};
    LONG size = sizeof buffer;
    if (RegQueryValueW(HKEY_CLASSES_ROOT, key.c_str(), buffer, &size) != ERROR_SUCCESS) {
        return {};
    }
    return buffer;
}

void deleteTree(const std::wstring& key) {
    RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
}

// One class: its CLSID key (local server, ProgIDs, category) and ProgID keys.
bool registerClass(const ServerClass& c, const std::wstring& exePath, bool ownProgIdsOnly) {
    const std::wstring clsid = guidText(c.clsid);
    const std::wstring clsidKey = L"CLSID\\" + clsid;
    std::wstring command = L"\"" + exePath + L"\"";
    if (c.number != 1) {
        command += L" /Class=" + std::to_wstring(c.number);
    }
    bool ok = setKey(clsidKey, c.description) && setKey(clsidKey + L"\\LocalServer32", command) &&
              setKey(clsidKey + L"\\ProgID", c.progId) &&
              setKey(clsidKey + L"\\VersionIndependentProgID", c.versionIndependentProgId);
    for (const Category& category : kCategories) {
        const std::wstring catid = guidText(category.catid);
        // The category's own key is shared by every OPC server: it stays at
        // /UnregServer, which removes only the class's reference to it.
        ok = ok && setKey(clsidKey + L"\\Implemented Categories\\" + catid, L"") &&
             setKey(L"Component Categories\\" + catid, category.name, L"409");
    }
    std::vector<const wchar_t*> progIds{c.progId};
    if (c.takesBridgeDefault && !ownProgIdsOnly) {
        progIds.push_back(kBridgeDefaultProgId);
    }
    for (const wchar_t* progId : progIds) {
        ok = ok && setKey(progId, c.description) &&
             setKey(std::wstring(progId) + L"\\CLSID", clsid) &&
             setKey(std::wstring(progId) + L"\\OPC\\Vendor", L"Korven");
    }
    return ok && setKey(c.versionIndependentProgId, c.description) &&
           setKey(std::wstring(c.versionIndependentProgId) + L"\\CLSID", clsid) &&
           setKey(std::wstring(c.versionIndependentProgId) + L"\\CurVer", c.progId);
}

}  // namespace

std::wstring registerServer(const std::wstring& exePath, bool ownProgIdsOnly) {
    bool ok = true;
    for (const ServerClass& c : serverClasses()) {
        ok = ok && registerClass(c, exePath, ownProgIdsOnly);
    }
    return ok ? std::wstring() : L"cannot write the registry under HKEY_CLASSES_ROOT";
}

std::wstring unregisterServer() {
    for (const ServerClass& c : serverClasses()) {
        const std::wstring clsid = guidText(c.clsid);
        for (const wchar_t* progId : {c.progId, c.versionIndependentProgId,
                                      static_cast<const wchar_t*>(kBridgeDefaultProgId)}) {
            // The bridge's default ProgID may belong to a real server: leave that one.
            if (_wcsicmp(readDefault(std::wstring(progId) + L"\\CLSID").c_str(), clsid.c_str()) ==
                0) {
                deleteTree(progId);
            }
        }
        deleteTree(L"CLSID\\" + clsid);
    }
    return {};
}

}  // namespace opcsim
