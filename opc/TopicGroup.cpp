#include "opc/TopicGroup.h"

#include <comdef.h>

#include "common/ConsoleLog.h"
#include "dde/DdeInstance.h"
#include "items/DataChangeSink.h"
#include "opc/ShutdownSink.h"

namespace korven {
namespace {

template <class Interface>
void releaseInterface(Interface*& field) {
    if (field != nullptr) {
        field->Release();
        field = nullptr;
    }
}

}  // namespace

TopicGroup::TopicGroup(const SharedText& progIdText, const SharedText& nodeNameText,
                       const SharedText& topicNameText)
    : topicName(topicNameText), progId(progIdText), nodeName(nodeNameText) {
    // DDEML makes no handle for a name over 255 characters: such a topic
    // could never be reached, so it is refused.
    topicHandle = ddeInstance().createStringHandle(topicName.narrow(), CP_WINANSI);
    if (topicHandle == nullptr) {
        throw _com_error(E_INVALIDARG);
    }
    groupNameText = topicName.wide();
    clientGroupHandle = keyOf(topicHandle);

    dataSink = new DataChangeSink(this);
    dataSink->AddRef();
    shutdownSink = new ShutdownSink(this);
    shutdownSink->AddRef();

    try {
        connectServer();
        createGroup();
    } catch (...) {
        // Nothing of a failed group may stay: its server connection, its
        // subscriptions and its callback objects are given back here.
        releaseGroup();
        releaseServer();
        releaseCallbackObjects();
        ddeInstance().freeStringHandle(topicHandle);
        topicHandle = nullptr;
        throw;
    }

    logInfo(L"「" + topicName.str() + L"」のインスタンス生成。");
}

TopicGroup::~TopicGroup() {
    // Nothing may leave the destructor: a failure (out of memory) in one step
    // must not keep the later ones from giving everything back.
    for (auto& [item, entry] : itemTable) {
        if (entry.linkCount > 0) {
            ddeInstance().freeStringHandle(stringHandleOf(item));
            entry.linkCount = 0;
        }
    }
    try {
        removePass();
    } catch (...) {
    }
    releaseGroup();
    releaseServer();
    releaseCallbackObjects();
    ddeInstance().freeStringHandle(topicHandle);
    topicHandle = nullptr;
    try {
        logInfo(L"「" + topicName.str() + L"」の解放。");
    } catch (...) {
    }
}

void TopicGroup::releaseCallbackObjects() {
    // A server that keeps a sink after the subscriptions end must not reach
    // this group any more.
    if (dataSink != nullptr) {
        dataSink->detach();
        dataSink->Release();
        dataSink = nullptr;
    }
    if (shutdownSink != nullptr) {
        shutdownSink->detach();
        shutdownSink->Release();
        shutdownSink = nullptr;
    }
}

void TopicGroup::releaseGroup() {
    releasePending = false;
    // The token is cleared before the call: a release that runs again while
    // DUnadvise is out finds nothing left to cancel.
    const DWORD connection = dataConnection;
    dataConnection = 0;
    if (connection != 0 && dataObject != nullptr && !serverLost) {
        dataObject->DUnadvise(connection);
    }
    if (serverLost) {
        // The dead server's hold on the data sink goes with it.
        CoDisconnectObject(dataSink, 0);
    }
    releaseInterface(asyncIo);
    releaseInterface(dataObject);
    releaseInterface(groupStateMgt);
    releaseInterface(itemMgt);
}

void TopicGroup::releaseServer() {
    const DWORD cookie = shutdownCookie;
    shutdownCookie = 0;
    if (shutdownPoint != nullptr && !serverLost) {
        shutdownPoint->Unadvise(cookie);
    }
    if (serverLost && shutdownSinkRef != nullptr) {
        CoDisconnectObject(shutdownSinkRef, 0);
    }
    releaseInterface(shutdownSinkRef);
    releaseInterface(shutdownPoint);
    releaseInterface(pointContainer);
    if (server != nullptr) {
        if (!serverLost) {
            server->RemoveGroup(serverGroupHandle, FALSE);
        }
        serverGroupHandle = 0;
        releaseInterface(server);
    }
}

}  // namespace korven
