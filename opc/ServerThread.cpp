#include "opc/ServerThread.h"

#include <objbase.h>

#include <new>
#include <utility>

#include "common/MessageWait.h"
#include "opc/ServerSession.h"

namespace korven {
namespace {

bool gRunInline = false;

DWORD WINAPI serve(void* parameter) {
    std::unique_ptr<std::shared_ptr<TopicChannel>> channel(
        static_cast<std::shared_ptr<TopicChannel>*>(parameter));
    const HRESULT initialised = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    try {
        ServerSession session(*channel);
        session.run();
    } catch (const std::bad_alloc&) {
        (*channel)->noteFault(E_OUTOFMEMORY);
    } catch (...) {
        // Out of memory beyond what a request's own guard can answer: the
        // thread ends, and the main thread, which watches its handle, treats
        // the topic's server as lost.
        (*channel)->noteFault(E_UNEXPECTED);
    }
    if (SUCCEEDED(initialised)) {
        CoUninitialize();
    }
    return 0;
}

}  // namespace

ServerThread::ServerThread(std::shared_ptr<TopicChannel> channel) {
    if (gRunInline) {
        inlineSession_ = std::make_unique<ServerSession>(channel);
        ServerSession* session = inlineSession_.get();
        channel->handleInline(
            [session](ServerRequest& request) {
                session->handle(request);
                try {
                    session->releaseIfShutDown();
                } catch (...) {
                }
            },
            [session] { session->releaseIfShutDown(); });
        return;
    }
    auto* handed = new std::shared_ptr<TopicChannel>(std::move(channel));
    thread_.reset(CreateThread(nullptr, 0, serve, handed, 0, nullptr));
    if (thread_ == nullptr) {
        delete handed;
    }
}

ServerThread::~ServerThread() = default;

bool ServerThread::waitEnded(ULONGLONG deadline) {
    if (thread_ == nullptr) {
        return true;
    }
    return waitDispatching(thread_.get(), deadline);
}

void ServerThread::runInline(bool on) {
    gRunInline = on;
}

}  // namespace korven
