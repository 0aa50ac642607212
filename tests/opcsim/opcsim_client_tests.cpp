// An OPC client that talks to the registered simulation server out of
// process, through the proxy/stub: what the bridge's own end-to-end tests do
// not reach (the strings no bridge call returns).
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "OpcDa.h"

namespace {

std::wstring folder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + L"korven-opcsim-client";
}

std::string readJournal() {
    std::ifstream in(std::filesystem::path(folder() + L"\\journal.log"), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Pumps messages until `done` holds or the deadline passes.
bool pumpUntil(const std::function<bool()>& done, DWORD ms = 10000) {
    const ULONGLONG deadline = GetTickCount64() + ms;
    while (!done()) {
        if (GetTickCount64() > deadline) {
            return false;
        }
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&msg);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
    return true;
}

class OpcSimClient : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        CreateDirectoryW(folder().c_str(), nullptr);
        DeleteFileW((folder() + L"\\journal.log").c_str());
        DeleteFileW((folder() + L"\\scenario.txt").c_str());
        const std::wstring f = folder();
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Korven\\OpcSim", L"Folder", REG_SZ,
                                  f.c_str(), static_cast<DWORD>((f.size() + 1) * 2)),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        release();
        // The server ends once its last object is gone: wait for that line.
        EXPECT_TRUE(pumpUntil([] {
            return readJournal().find("Server.Exit") != std::string::npos;
        })) << readJournal();
        CoUninitialize();
    }
    void scenario(const std::string& text) {
        std::ofstream(std::filesystem::path(folder() + L"\\scenario.txt"), std::ios::binary)
            << text;
    }
    HRESULT connect() {
        CLSID clsid;
        HRESULT hr = CLSIDFromString(L"Velmora.Ctrl9.1", &clsid);
        if (FAILED(hr)) {
            return hr;
        }
        MULTI_QI qi{&IID_IOPCServer, nullptr, S_OK};
        hr = CoCreateInstanceEx(clsid, nullptr, CLSCTX_LOCAL_SERVER, nullptr, 1, &qi);
        server = static_cast<IOPCServer*>(qi.pItf);
        return SUCCEEDED(hr) ? qi.hr : hr;
    }
    void release() {
        for (IUnknown** p :
             {reinterpret_cast<IUnknown**>(&state), reinterpret_cast<IUnknown**>(&items)}) {
            if (*p) {
                (*p)->Release();
                *p = nullptr;
            }
        }
        if (server) {
            server->RemoveGroup(hGroup, FALSE);
            server->Release();
            server = nullptr;
        }
    }
    // An active group of the given rate; `items` holds its IOPCItemMgt.
    HRESULT openGroup(DWORD rate, OPCHANDLE hClientGroup, DWORD* revised) {
        IUnknown* unk = nullptr;
        const HRESULT hr = server->AddGroup(L"G", TRUE, rate, hClientGroup, nullptr, nullptr, 0,
                                            &hGroup, revised, IID_IOPCItemMgt, &unk);
        items = static_cast<IOPCItemMgt*>(unk);
        return hr;
    }
    IOPCServer* server = nullptr;
    IOPCItemMgt* items = nullptr;
    IOPCGroupStateMgt* state = nullptr;
    OPCHANDLE hGroup = 0;
};

// Strings returned through [out, string] pointers and inside records: the
// proxy/stub must bring each across (the bridge's own tests see the vendor
// text; the error text and the group name are seen only here).
TEST_F(OpcSimClient, StringsCrossTheProcessBoundary) {
    scenario("[server]\nvendor = \"Sim \\u00fc\"\n");
    ASSERT_EQ(connect(), S_OK);
    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(server->GetStatus(&status), S_OK);
    ASSERT_NE(status, nullptr);
    ASSERT_NE(status->szVendorInfo, nullptr);
    EXPECT_STREQ(status->szVendorInfo, L"Sim \u00fc");
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);

    LPWSTR text = nullptr;
    ASSERT_EQ(server->GetErrorString(OPC_E_UNKNOWNITEMID, 0, &text), S_OK);
    ASSERT_NE(text, nullptr) << "[out, string] pointer lost on the way";
    EXPECT_STREQ(text, L"The item is no longer available in the server address space.");
    CoTaskMemFree(text);

    DWORD revised = 0;
    ASSERT_EQ(openGroup(3000, 1, &revised), S_OK);
    ASSERT_EQ(items->QueryInterface(IID_IOPCGroupStateMgt, reinterpret_cast<void**>(&state)), S_OK);
    DWORD rate = 0;
    BOOL active = FALSE;
    LPWSTR name = nullptr;
    LONG bias = 0;
    FLOAT deadband = 0;
    DWORD lcid = 0;
    OPCHANDLE hClient = 0, hServer = 0;
    ASSERT_EQ(state->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &hClient, &hServer),
              S_OK);
    ASSERT_NE(name, nullptr) << "[out, string] pointer lost on the way";
    EXPECT_STREQ(name, L"G");
    CoTaskMemFree(name);
}

}  // namespace
