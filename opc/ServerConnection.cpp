// Connecting a topic's session: the server object with its shutdown
// subscription, then the OPC group with its data-change subscription.
#include <comdef.h>

#include "items/DataCallbackSink.h"
#include "items/DataChangeSink.h"
#include "opc/ActivationTurn.h"
#include "opc/ServerActivation.h"
#include "opc/ServerSession.h"
#include "opc/ShutdownSink.h"

namespace korven {
namespace {

void raiseOnFailure(HRESULT hr) {
    if (FAILED(hr)) {
        throw _com_error(hr);
    }
}

}  // namespace

void ServerSession::serve(const request::Connect& request) {
    serverLost_ = false;
    releasePending_ = false;
    DWORD revisedRate = request.group.updateRate;
    try {
        makeSinks();
        connectServer(request);
        createGroup(request, revisedRate);
    } catch (const _com_error& error) {
        // What was made of the attempt (a server that refused the group, say)
        // is given back at once.
        releaseAll();
        channel_->reply(reply::ConnectFailed{error.Error()});
        return;
    } catch (...) {
        releaseAll();
        channel_->reply(reply::ConnectFailed{E_OUTOFMEMORY});
        return;
    }
    channel_->reply(reply::Connected{serverGroupHandle, revisedRate, callbacks_});
}

void ServerSession::connectServer(const request::Connect& request) {
    CLSID clsid{};
    // Always resolved on this computer, also for a server on another node.
    raiseOnFailure(CLSIDFromString(const_cast<LPOLESTR>(request.progId.c_str()), &clsid));

    MULTI_QI query{&IID_IOPCServer, nullptr, 0};
    HRESULT hr;
    {
        ActivationTurn turn(clsid, request.nodeName);
        CallWatch watch(*channel_, "CoCreateInstanceEx");
        if (!request.nodeName.empty()) {
            COSERVERINFO serverInfo{};
            serverInfo.pwszName = const_cast<LPWSTR>(request.nodeName.c_str());
            hr = serverActivation()(clsid, nullptr, CLSCTX_REMOTE_SERVER, &serverInfo, 1, &query);
        } else {
            hr = serverActivation()(clsid, nullptr, CLSCTX_LOCAL_SERVER, nullptr, 1, &query);
        }
    }
    raiseOnFailure(hr);
    // A server that answered without the interface cannot be used.
    if (query.pItf == nullptr) {
        raiseOnFailure(FAILED(query.hr) ? query.hr : E_NOINTERFACE);
    }
    server = static_cast<IOPCServer*>(query.pItf);

    // A server without shutdown notification is still served; it simply
    // never tells the bridge that it is going away.
    {
        CallWatch watch(*channel_, "QueryInterface");
        server->QueryInterface(IID_IConnectionPointContainer,
                               reinterpret_cast<void**>(&pointContainer));
    }
    if (pointContainer != nullptr) {
        CallWatch watch(*channel_, "FindConnectionPoint");
        pointContainer->FindConnectionPoint(IID_IOPCShutdown, &shutdownPoint);
    }
    shutdownSink_->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&shutdownSinkRef));
    if (shutdownPoint != nullptr && shutdownSinkRef != nullptr) {
        CallWatch watch(*channel_, "Advise");
        if (FAILED(shutdownPoint->Advise(shutdownSinkRef, &shutdownCookie))) {
            shutdownCookie = 0;
        }
    }
}

void ServerSession::createGroup(const request::Connect& request, DWORD& revisedRate) {
    IUnknown* groupUnknown = nullptr;
    LONG timeBias = request.group.timeBias;
    FLOAT deadband = request.group.deadband;
    {
        CallWatch watch(*channel_, "AddGroup");
        raiseOnFailure(server->AddGroup(
            request.groupName.c_str(), request.group.active, request.group.updateRate,
            request.group.clientGroupHandle, &timeBias, &deadband, request.group.localeId,
            &serverGroupHandle, &revisedRate, IID_IOPCItemMgt, &groupUnknown));
    }
    itemMgt = static_cast<IOPCItemMgt*>(groupUnknown);
    if (itemMgt == nullptr) {
        raiseOnFailure(E_NOINTERFACE);
    }

    HRESULT hr;
    {
        CallWatch watch(*channel_, "QueryInterface");
        hr = itemMgt->QueryInterface(IID_IOPCGroupStateMgt,
                                     reinterpret_cast<void**>(&groupStateMgt));
    }
    raiseOnFailure(hr);
    // The 1.0 stream when the group offers it; else, where the user allows
    // it, the 2.0 callbacks. The last path's failure is the group's.
    if (request.dataAccess != DataAccess::Callbacks) {
        hr = subscribeStream();
        if (SUCCEEDED(hr) || request.dataAccess == DataAccess::Stream) {
            raiseOnFailure(hr);
            return;
        }
    }
    raiseOnFailure(subscribeCallbacks(request.group.clientGroupHandle));
}

HRESULT ServerSession::subscribeStream() {
    HRESULT hr;
    {
        CallWatch watch(*channel_, "QueryInterface");
        hr = groupStateMgt->QueryInterface(IID_IDataObject, reinterpret_cast<void**>(&dataObject));
        if (SUCCEEDED(hr)) {
            hr = groupStateMgt->QueryInterface(IID_IOPCAsyncIO, reinterpret_cast<void**>(&asyncIo));
        }
    }
    if (SUCCEEDED(hr)) {
        FORMATETC format{};
        format.cfFormat = static_cast<CLIPFORMAT>(RegisterClipboardFormatA("OPCSTMFORMATDATA"));
        format.ptd = nullptr;
        format.dwAspect = DVASPECT_CONTENT;
        format.lindex = -1;
        format.tymed = TYMED_HGLOBAL;
        CallWatch watch(*channel_, "DAdvise");
        hr = dataObject->DAdvise(&format, ADVF_PRIMEFIRST, dataSink_, &dataConnection);
    }
    if (FAILED(hr)) {
        dataConnection = 0;
        releaseStream();
    }
    return hr;
}

HRESULT ServerSession::subscribeCallbacks(OPCHANDLE clientGroupHandle) {
    callbackSink_->setGroup(clientGroupHandle);
    HRESULT hr;
    {
        CallWatch watch(*channel_, "QueryInterface");
        hr = groupStateMgt->QueryInterface(IID_IOPCAsyncIO2, reinterpret_cast<void**>(&asyncIo2));
        if (SUCCEEDED(hr)) {
            hr = groupStateMgt->QueryInterface(IID_IConnectionPointContainer,
                                               reinterpret_cast<void**>(&groupPoints));
        }
    }
    if (SUCCEEDED(hr)) {
        CallWatch watch(*channel_, "FindConnectionPoint");
        hr = groupPoints->FindConnectionPoint(IID_IOPCDataCallback, &dataPoint);
    }
    if (SUCCEEDED(hr) && dataPoint == nullptr) {
        hr = E_NOINTERFACE;
    }
    if (SUCCEEDED(hr)) {
        CallWatch watch(*channel_, "Advise");
        hr = dataPoint->Advise(static_cast<IOPCDataCallback*>(callbackSink_), &callbackCookie);
    }
    if (FAILED(hr)) {
        callbackCookie = 0;
        releaseCallbacks();
        return hr;
    }
    callbacks_ = true;
    return S_OK;
}

}  // namespace korven
