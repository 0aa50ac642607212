#include "opc/ServerSession.h"

#include <utility>

#include "common/ComMemory.h"
#include "items/DataCallbackSink.h"
#include "items/DataChangeSink.h"
#include "opc/ShutdownSink.h"

namespace korven {

ServerSession::ServerSession(std::shared_ptr<TopicChannel> channel) : channel_(std::move(channel)) {
    dataSink_ = new DataChangeSink(this);
    dataSink_->AddRef();
    callbackSink_ = new DataCallbackSink(this);
    callbackSink_->AddRef();
    shutdownSink_ = new ShutdownSink(this);
    shutdownSink_->AddRef();
}

ServerSession::~ServerSession() {
    releaseGroup();
    releaseServer();
    // A server that keeps a sink after the subscriptions end must not reach
    // this session any more.
    dataSink_->detach();
    dataSink_->Release();
    callbackSink_->detach();
    callbackSink_->Release();
    shutdownSink_->detach();
    shutdownSink_->Release();
}

void ServerSession::run() {
    while (!closed_) {
        HANDLE wake = channel_->requestEvent();
        const DWORD woken =
            MsgWaitForMultipleObjectsEx(1, &wake, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (woken == WAIT_FAILED) {
            break;
        }
        // The apartment's messages: calls from the server (data changes,
        // shutdown requests) arrive as messages.
        MSG message{};
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        while (!closed_) {
            std::optional<ServerRequest> request = channel_->takeRequest();
            if (!request) {
                break;
            }
            handle(*request);
            releaseIfShutDown();
        }
        releaseIfShutDown();
    }
}

void ServerSession::handle(ServerRequest& request) {
    std::visit(
        [this](auto& r) {
            using Request = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<Request, request::Connect>) {
                connect(r);
            } else if constexpr (std::is_same_v<Request, request::SyncItems>) {
                syncItems(r);
            } else if constexpr (std::is_same_v<Request, request::ReadStatus>) {
                readStatus();
            } else if constexpr (std::is_same_v<Request, request::SetState>) {
                setState(r);
            } else if constexpr (std::is_same_v<Request, request::Refresh>) {
                refresh();
            } else {
                close(r);
            }
        },
        request);
}

void ServerSession::releaseIfShutDown() {
    // Never from the callback itself: the request may arrive while a call of
    // this session's on the group is out.
    if (!releasePending_) {
        return;
    }
    releaseGroup();
    releaseServer();
    releasePending_ = false;
    channel_->reply(reply::Released{});
}

void ServerSession::deliverValues(DataChangeBlock block) {
    channel_->reply(reply::Values{std::move(block)});
}

void ServerSession::shutdownRequested(LPCWSTR reason) {
    if (server != nullptr && !serverLost_) {
        releasePending_ = true;
    }
    reply::ShutdownRequested notice;
    if (reason != nullptr) {
        notice.reasonPresent = true;
        notice.reason = reason;
    }
    channel_->reply(std::move(notice));
}

template <class Interface>
void ServerSession::releaseInterface(Interface*& field) {
    if (field == nullptr) {
        return;
    }
    // The last release of a proxy is a call to the server.
    if (!serverLost_) {
        CallWatch watch(*channel_, "Release");
        field->Release();
    } else {
        field->Release();
    }
    field = nullptr;
}

bool ServerSession::groupUsable() const {
    return itemMgt != nullptr && !releasePending_ && !serverLost_;
}

void ServerSession::releaseGroup() {
    // The subscriptions first, then the group's interfaces.
    releaseStream();
    releaseCallbacks();
    releaseInterface(groupStateMgt);
    releaseInterface(itemMgt);
}

void ServerSession::releaseStream() {
    // The token is cleared before the call: a release that runs again while
    // DUnadvise is out finds nothing left to cancel.
    const DWORD connection = dataConnection;
    dataConnection = 0;
    if (connection != 0 && dataObject != nullptr && !serverLost_) {
        CallWatch watch(*channel_, "DUnadvise");
        dataObject->DUnadvise(connection);
    }
    if (serverLost_) {
        // The dead server's hold on the data sink goes with it.
        CoDisconnectObject(dataSink_, 0);
    }
    releaseInterface(asyncIo);
    releaseInterface(dataObject);
}

void ServerSession::releaseCallbacks() {
    const DWORD cookie = callbackCookie;
    callbackCookie = 0;
    if (cookie != 0 && dataPoint != nullptr && !serverLost_) {
        CallWatch watch(*channel_, "Unadvise");
        dataPoint->Unadvise(cookie);
    }
    if (serverLost_) {
        CoDisconnectObject(static_cast<IOPCDataCallback*>(callbackSink_), 0);
    }
    callbacks_ = false;
    releaseInterface(asyncIo2);
    releaseInterface(dataPoint);
    releaseInterface(groupPoints);
}

void ServerSession::releaseServer() {
    const DWORD cookie = shutdownCookie;
    shutdownCookie = 0;
    if (shutdownPoint != nullptr && !serverLost_) {
        CallWatch watch(*channel_, "Unadvise");
        shutdownPoint->Unadvise(cookie);
    }
    if (serverLost_ && shutdownSinkRef != nullptr) {
        CoDisconnectObject(shutdownSinkRef, 0);
    }
    releaseInterface(shutdownSinkRef);
    releaseInterface(shutdownPoint);
    releaseInterface(pointContainer);
    if (server != nullptr) {
        if (!serverLost_) {
            CallWatch watch(*channel_, "RemoveGroup");
            server->RemoveGroup(serverGroupHandle, FALSE);
        }
        serverGroupHandle = 0;
        releaseInterface(server);
    }
}

}  // namespace korven
