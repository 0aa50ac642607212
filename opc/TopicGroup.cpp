#include "opc/TopicGroup.h"

#include <comdef.h>

#include <string>
#include <type_traits>
#include <utility>

#include "common/ConsoleLog.h"
#include "common/MessageWait.h"
#include "common/TickClock.h"
#include "dde/DdeInstance.h"
#include "items/DataChangeStream.h"

namespace korven {

TopicGroup::TopicGroup(const SharedText& progIdText, const SharedText& nodeNameText,
                       const SharedText& topicNameText, DWORD reconnectAfterSeconds,
                       DataAccess dataPath)
    : topicName(topicNameText),
      progId(progIdText),
      nodeName(nodeNameText),
      reconnectSeconds(reconnectAfterSeconds),
      dataAccess(dataPath) {
    // DDEML makes no handle for a name over 255 characters: such a topic
    // could never be reached, so it is refused.
    topicHandle = ddeInstance().createStringHandle(topicName.narrow(), CP_WINANSI);
    if (topicHandle == nullptr) {
        throw _com_error(E_INVALIDARG);
    }
    groupNameText = topicName.wide();
    clientGroupHandle = keyOf(topicHandle);
    try {
        startThread();
        requestConnection();
    } catch (...) {
        thread_.reset();
        ddeInstance().freeStringHandle(topicHandle);
        topicHandle = nullptr;
        throw;
    }
}

void TopicGroup::startThread() {
    auto channel = std::make_shared<TopicChannel>();
    auto thread = std::make_unique<ServerThread>(channel);
    if (!thread->started()) {
        throw _com_error(HRESULT_FROM_WIN32(GetLastError()));
    }
    channel_ = std::move(channel);
    thread_ = std::move(thread);
    threadGone_ = false;
}

TopicGroup::~TopicGroup() {
    // Nothing may leave the destructor: a failure (out of memory) in one step
    // must not keep the later ones from giving everything back.
    try {
        beginClose();
    } catch (...) {
    }
    if (!thread_->waitEnded(closeDeadline_) && !unannounced) {
        // A call to the server is still out: the thread and what it holds are
        // left as they are; COM gives the server's references back when the
        // process ends.
        try {
            logError(L"「" + topicName.str() +
                     L"」のサーバーが応答しないため、解放をCOMに任せます。");
        } catch (...) {
        }
    }
    thread_.reset();
    for (auto& [item, entry] : itemTable) {
        if (entry.linkCount > 0) {
            ddeInstance().freeStringHandle(stringHandleOf(item));
            entry.linkCount = 0;
        }
        // The entry's own reference.
        ddeInstance().freeStringHandle(stringHandleOf(item));
    }
    itemTable.clear();
    ddeInstance().freeStringHandle(topicHandle);
    topicHandle = nullptr;
    try {
        if (sayRelease && !unannounced) {
            logInfo(L"「" + topicName.str() + L"」の解放。");
        }
    } catch (...) {
    }
}

void TopicGroup::post(ServerRequest request) {
    if (channel_->post(std::move(request))) {
        ++requestsOut;
    }
}

HRESULT TopicGroup::awaitFirstConnection(ULONGLONG deadline) {
    while (true) {
        takeReplies();
        watchThread();
        if (firstOutcome_) {
            return *firstOutcome_;
        }
        if (!waitDispatching(channel_->replyEvent(), deadline)) {
            takeReplies();
            watchThread();
            if (firstOutcome_) {
                return *firstOutcome_;
            }
            // Still out: its outcome, when it comes, is a reconnection's.
            firstConnection_ = false;
            return RPC_E_TIMEOUT;
        }
    }
}

bool TopicGroup::firstConnectionSettled() const {
    return firstOutcome_.has_value() || channel_->connectionAnswered() || thread_->ended();
}

void TopicGroup::beginClose() {
    if (closing_) {
        return;
    }
    closing_ = true;
    closeDeadline_ = tickCount() + kCloseWaitMs;
    request::Close close;
    close.remove = orphanServerHandles;
    for (const auto& [item, entry] : itemTable) {
        if (entry.added) {
            close.remove.push_back(entry.serverHandle);
        }
    }
    post(std::move(close));
}

void TopicGroup::takeReplies() {
    checkThread();
    channel_->runInlineIdle();
    std::deque<ServerReply> replies = channel_->takeReplies();
    for (ServerReply& reply : replies) {
        if (completesRequest(reply) && requestsOut > 0) {
            --requestsOut;
        }
        // One answer that cannot be taken (out of memory) must not lose the
        // ones after it.
        try {
            handleReply(reply);
        } catch (...) {
        }
    }
}

void TopicGroup::handleReply(ServerReply& reply) {
    std::visit(
        [this](auto& r) {
            using Reply = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<Reply, reply::Connected>) {
                onConnected(r);
            } else if constexpr (std::is_same_v<Reply, reply::ConnectFailed>) {
                onConnectFailed(r.hr);
            } else if constexpr (std::is_same_v<Reply, reply::ItemsSynced>) {
                onItemsSynced(r);
            } else if constexpr (std::is_same_v<Reply, reply::Status>) {
                onStatus(r);
            } else if constexpr (std::is_same_v<Reply, reply::StateSet>) {
                onStateSet(r);
            } else if constexpr (std::is_same_v<Reply, reply::Values>) {
                storeDataChange(r.block);
            } else if constexpr (std::is_same_v<Reply, reply::ShutdownRequested>) {
                logInfo(L"「" + topicName.str() + L"」シャットダウン。(" + r.reason + L")");
            } else if constexpr (std::is_same_v<Reply, reply::Released>) {
                onDisconnected();
            } else if constexpr (std::is_same_v<Reply, reply::Lost>) {
                onLost(r.hr);
            }
            // Refreshed and Closed only complete their requests.
        },
        reply);
}

void TopicGroup::onLost(HRESULT hr) {
    if (unansweredCall_ != 0) {
        lostDuringCall_ = true;
    }
    logError(L"「" + topicName.str() + L"」サーバーとの接続が切れました。(" +
             std::to_wstring(static_cast<long>(hr)) + L")");
    onDisconnected();
}

void TopicGroup::watchThread() {
    if (closing_ || threadGone_ || !thread_->ended()) {
        return;
    }
    // What it answered before it ended is taken first.
    takeReplies();
    threadGone_ = true;
    const HRESULT hr = channel_->fault();
    // Nothing more will be answered: every request out ends as a failure.
    requestsOut = 0;
    if (passOut) {
        reply::ItemsSynced unanswered;
        onItemsSynced(unanswered);
    }
    if (connectOut_) {
        onConnectFailed(hr);
    }
    if (connected) {
        onLost(hr);
    }
}

void TopicGroup::onDisconnected() {
    connected = false;
    showReleased();
    // The first attempt to connect again comes one interval later.
    nextReconnectAt = 0;
}

void TopicGroup::watchCalls() {
    const CallInProgress call = channel_->currentCall();
    if (unansweredCall_ != 0 && call.serial != unansweredCall_) {
        unansweredCall_ = 0;
        if (!lostDuringCall_) {
            logInfo(L"「" + topicName.str() + L"」のサーバーが応答しました。");
        }
        lostDuringCall_ = false;
    }
    if (call.serial != 0 && unansweredCall_ == 0 &&
        tickCount() - call.startedAt >= kUnansweredCallMs) {
        unansweredCall_ = call.serial;
        std::wstring name;
        for (const char* c = call.name; c != nullptr && *c != '\0'; ++c) {
            name.push_back(static_cast<wchar_t>(*c));
        }
        logError(L"「" + topicName.str() + L"」のサーバーが応答しません。(" + name + L")");
        // The page shows the server's state as unknown until it answers.
        serverStatus.dwServerState = static_cast<OPCSERVERSTATE>(0);
    }
}

}  // namespace korven
