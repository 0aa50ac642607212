// The two construction steps of a topic group: the server connection with its
// shutdown subscription, and the OPC group with its data-change subscription.
#include <comdef.h>

#include "opc/ServerActivation.h"
#include "opc/ShutdownSink.h"
#include "opc/TopicGroup.h"
#include "items/DataChangeSink.h"

namespace korven {
namespace {

void raiseOnFailure(HRESULT hr) {
    if (FAILED(hr)) {
        throw _com_error(hr);
    }
}

}  // namespace

void TopicGroup::connectServer() {
    CLSID clsid{};
    // Always resolved on this computer, also for a server on another node.
    raiseOnFailure(CLSIDFromString(const_cast<LPOLESTR>(progId.wide()), &clsid));

    MULTI_QI query{&IID_IOPCServer, nullptr, 0};
    HRESULT hr;
    if (nodeName.length() > 0) {
        COSERVERINFO serverInfo{};
        serverInfo.pwszName = const_cast<LPWSTR>(nodeName.wide());
        hr = serverActivation()(clsid, nullptr, CLSCTX_REMOTE_SERVER, &serverInfo, 1, &query);
    } else {
        hr = serverActivation()(clsid, nullptr, CLSCTX_LOCAL_SERVER, nullptr, 1, &query);
    }
    raiseOnFailure(hr);
    // A server that answered without the interface cannot be used.
    if (query.pItf == nullptr) {
        raiseOnFailure(FAILED(query.hr) ? query.hr : E_NOINTERFACE);
    }
    server = static_cast<IOPCServer*>(query.pItf);

    // A server without shutdown notification is still served; it simply
    // never tells the bridge that it is going away.
    server->QueryInterface(IID_IConnectionPointContainer,
                           reinterpret_cast<void**>(&pointContainer));
    if (pointContainer != nullptr) {
        pointContainer->FindConnectionPoint(IID_IOPCShutdown, &shutdownPoint);
    }
    shutdownSink->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&shutdownSinkRef));
    if (shutdownPoint != nullptr && shutdownSinkRef != nullptr) {
        if (FAILED(shutdownPoint->Advise(shutdownSinkRef, &shutdownCookie))) {
            shutdownCookie = 0;
        }
    }
}

void TopicGroup::createGroup() {
    IUnknown* groupUnknown = nullptr;
    raiseOnFailure(server->AddGroup(groupNameText, active, updateRate, clientGroupHandle, &timeBias,
                                    &deadband, localeId, &serverGroupHandle, &updateRate,
                                    IID_IOPCItemMgt, &groupUnknown));
    itemMgt = static_cast<IOPCItemMgt*>(groupUnknown);
    if (itemMgt == nullptr) {
        raiseOnFailure(E_NOINTERFACE);
    }

    HRESULT hr =
        itemMgt->QueryInterface(IID_IOPCGroupStateMgt, reinterpret_cast<void**>(&groupStateMgt));
    if (SUCCEEDED(hr)) {
        hr = groupStateMgt->QueryInterface(IID_IDataObject, reinterpret_cast<void**>(&dataObject));
    }
    if (SUCCEEDED(hr)) {
        hr = groupStateMgt->QueryInterface(IID_IOPCAsyncIO, reinterpret_cast<void**>(&asyncIo));
    }
    if (SUCCEEDED(hr)) {
        FORMATETC format{};
        format.cfFormat = static_cast<CLIPFORMAT>(RegisterClipboardFormatA("OPCSTMFORMATDATA"));
        format.ptd = nullptr;
        format.dwAspect = DVASPECT_CONTENT;
        format.lindex = -1;
        format.tymed = TYMED_HGLOBAL;
        hr = dataObject->DAdvise(&format, ADVF_PRIMEFIRST, dataSink, &dataConnection);
    }
    if (FAILED(hr)) {
        releaseGroup();
        throw _com_error(hr);
    }
}

}  // namespace korven
