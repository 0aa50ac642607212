#include "ServerConnect.h"

namespace opcbrowse {

ConnectResult connectServer(const BrowseOptions& options, ComRef<IOPCServer>& server) {
    CLSID clsid{};
    HRESULT hr = CLSIDFromString(const_cast<LPOLESTR>(options.progId.c_str()), &clsid);
    if (FAILED(hr)) {
        return {hr, "progid"};
    }
    MULTI_QI query{&IID_IOPCServer, nullptr, S_OK};
    if (!options.node.empty()) {
        COSERVERINFO serverInfo{};
        serverInfo.pwszName = const_cast<LPWSTR>(options.node.c_str());
        hr = CoCreateInstanceEx(clsid, nullptr, CLSCTX_REMOTE_SERVER, &serverInfo, 1, &query);
    } else {
        hr = CoCreateInstanceEx(clsid, nullptr, CLSCTX_LOCAL_SERVER, nullptr, 1, &query);
    }
    if (SUCCEEDED(hr) && !query.pItf) {
        hr = FAILED(query.hr) ? query.hr : E_NOINTERFACE;
    }
    if (FAILED(hr)) {
        if (query.pItf) {
            query.pItf->Release();
        }
        return {hr, "create"};
    }
    *server.out() = static_cast<IOPCServer*>(query.pItf);
    return {};
}

}  // namespace opcbrowse
