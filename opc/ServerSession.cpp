#include "opc/ServerSession.h"

#include <comdef.h>

#include <new>
#include <utility>

#include "common/ComMemory.h"
#include "common/MessageWait.h"
#include "items/DataCallbackSink.h"
#include "items/DataChangeSink.h"
#include "opc/ShutdownSink.h"

namespace korven {

namespace {

ServerSession::RequestHook gRequestHook = nullptr;

// A server that keeps a sink after its subscription ends must not reach the
// session any more.
template <class Sink>
void dropSink(Sink*& sink) {
    if (sink != nullptr) {
        sink->detach();
        sink->Release();
        sink = nullptr;
    }
}

template <class Sink>
Sink* madeSink(ServerSession* session) {
    Sink* sink = new Sink(session);
    sink->AddRef();
    return sink;
}

}  // namespace

ServerSession::ServerSession(std::shared_ptr<TopicChannel> channel)
    : channel_(std::move(channel)) {}

ServerSession::~ServerSession() {
    releaseAll();
}

void ServerSession::setRequestHook(RequestHook hook) {
    gRequestHook = hook;
}

void ServerSession::makeSinks() {
    dropDataSinks();
    dropShutdownSink();
    dataSink_ = madeSink<DataChangeSink>(this);
    callbackSink_ = madeSink<DataCallbackSink>(this);
    shutdownSink_ = madeSink<ShutdownSink>(this);
}

void ServerSession::dropDataSinks() {
    dropSink(dataSink_);
    dropSink(callbackSink_);
}

void ServerSession::dropShutdownSink() {
    dropSink(shutdownSink_);
}

void ServerSession::run() {
    while (!closed_) {
        // Calls from the server (data changes, shutdown requests) arrive as
        // the apartment's messages, dispatched while the thread waits.
        if (!waitDispatching(channel_->requestEvent(), kNoDeadline)) {
            break;
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
    checkThread();
    const unsigned long completedBefore = channel_->completedReplies();
    HRESULT hr = S_OK;
    try {
        if (gRequestHook != nullptr) {
            gRequestHook(request);
        }
        std::visit([this](const auto& r) { serve(r); }, request);
        return;
    } catch (const _com_error& error) {
        hr = error.Error();
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    } catch (...) {
        hr = E_UNEXPECTED;
    }
    recoverFrom(request, FAILED(hr) ? hr : E_UNEXPECTED, completedBefore);
}

void ServerSession::recoverFrom(const ServerRequest& request, HRESULT hr,
                                unsigned long completedBefore) {
    // Nothing of this may raise again: a reply that cannot be queued ends
    // the thread, which the main thread sees as the topic's loss.
    if (std::holds_alternative<request::Close>(request)) {
        closed_ = true;
    }
    if (server != nullptr && !serverLost_) {
        loseServer(hr);
    } else {
        releaseAll();
    }
    if (channel_->completedReplies() != completedBefore) {
        return;
    }
    channel_->reply(failureReply(request, hr));
}

void ServerSession::releaseIfShutDown() {
    // Never from the callback itself: the request may arrive while a call of
    // this session's on the group is out.
    if (!releasePending_) {
        return;
    }
    releaseAll();
    releasePending_ = false;
    channel_->reply(reply::Released{});
}

void ServerSession::deliverValues(DataChangeBlock block) {
    checkThread();
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

void ServerSession::releaseAll() {
    releaseGroup();
    releaseServer();
}

void ServerSession::releaseGroup() {
    // The subscriptions first, then the group's interfaces.
    releaseStream();
    releaseCallbacks();
    releaseInterface(groupStateMgt);
    releaseInterface(itemMgt);
    dropDataSinks();
}

template <class Source>
void ServerSession::cancelValues(DWORD& token, Source* source,
                                 HRESULT (STDMETHODCALLTYPE Source::*cancel)(DWORD),
                                 const char* callName, IUnknown* sink) {
    // The token is cleared before the call: a release that runs again while
    // the call is out finds nothing left to cancel.
    const DWORD held = token;
    token = 0;
    if (held != 0 && source != nullptr && !serverLost_) {
        CallWatch watch(*channel_, callName);
        (source->*cancel)(held);
    }
    if (serverLost_ && sink != nullptr) {
        // The dead server's hold on the sink goes with it.
        CoDisconnectObject(sink, 0);
    }
}

void ServerSession::releaseStream() {
    cancelValues(dataConnection, dataObject, &IDataObject::DUnadvise, "DUnadvise",
                 static_cast<IAdviseSink*>(dataSink_));
    releaseInterface(asyncIo);
    releaseInterface(dataObject);
}

void ServerSession::releaseCallbacks() {
    cancelValues(callbackCookie, dataPoint, &IConnectionPoint::Unadvise, "Unadvise",
                 static_cast<IOPCDataCallback*>(callbackSink_));
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
    dropShutdownSink();
}

}  // namespace korven
