#include "opc/TopicChannel.h"

#include <cstdint>
#include <new>
#include <unordered_set>
#include <utility>

#include "common/TickClock.h"

namespace korven {
namespace {

// What a block has to say besides its items (a log line at the main thread).
bool saysNothingElse(const DataChangeBlock& block) {
    return block.hrStatus >= 0 && !block.headerMissing && block.badItem < 0 &&
           block.recordWidth == kValueRecordSize;
}

bool saysTheSame(const DataChangeBlock& older, const DataChangeBlock& newer) {
    return older.hrStatus == newer.hrStatus && older.headerMissing == newer.headerMissing &&
           older.badItem == newer.badItem && older.recordWidth == newer.recordWidth;
}

// A newer value of an item stands for an older one that still waits: the
// older one leaves the blocks queued since the last other reply, and a block
// left with nothing to say goes. What waits is so bounded by the topic's
// items, however long the main thread does not take it.
void supersedeWaitingValues(std::deque<ServerReply>& replies, const DataChangeBlock& newer) {
    std::unordered_set<std::uint32_t> handles;
    for (const StreamItem& item : newer.items) {
        handles.insert(item.clientHandle);
    }
    for (auto at = replies.end(); at != replies.begin();) {
        --at;
        auto* values = std::get_if<reply::Values>(&*at);
        if (values == nullptr) {
            break;
        }
        DataChangeBlock& older = values->block;
        std::erase_if(older.items, [&](const StreamItem& item) {
            return handles.count(item.clientHandle) != 0;
        });
        if (older.items.empty() && (saysNothingElse(older) || saysTheSame(older, newer))) {
            at = replies.erase(at);
        }
    }
}

TopicChannel::ReplyFault gReplyFault = nullptr;

}  // namespace

void TopicChannel::setReplyFault(ReplyFault fault) {
    gReplyFault = fault;
}

TopicChannel::TopicChannel()
    : requestEvent_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      replyEvent_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

bool TopicChannel::post(ServerRequest request) {
    if (inlineHandler_) {
        inlineHandler_(request);
        return true;
    }
    {
        std::lock_guard<std::mutex> hold(lock_);
        const bool coalesces = std::holds_alternative<request::ReadStatus>(request) ||
                               std::holds_alternative<request::SetState>(request) ||
                               std::holds_alternative<request::Refresh>(request);
        if (coalesces) {
            for (ServerRequest& queued : requests_) {
                if (queued.index() == request.index()) {
                    queued = std::move(request);
                    return false;
                }
            }
        }
        requests_.push_back(std::move(request));
    }
    SetEvent(requestEvent_.get());
    return true;
}

std::deque<ServerReply> TopicChannel::takeReplies() {
    std::deque<ServerReply> taken;
    std::lock_guard<std::mutex> hold(lock_);
    taken.swap(replies_);
    return taken;
}

CallInProgress TopicChannel::currentCall() const {
    std::lock_guard<std::mutex> hold(lock_);
    return call_;
}

bool TopicChannel::connectionAnswered() const {
    std::lock_guard<std::mutex> hold(lock_);
    for (const ServerReply& reply : replies_) {
        if (std::holds_alternative<reply::Connected>(reply) ||
            std::holds_alternative<reply::ConnectFailed>(reply)) {
            return true;
        }
    }
    return false;
}

HRESULT TopicChannel::fault() const {
    std::lock_guard<std::mutex> hold(lock_);
    return fault_;
}

void TopicChannel::noteFault(HRESULT hr) {
    std::lock_guard<std::mutex> hold(lock_);
    fault_ = hr;
}

std::optional<ServerRequest> TopicChannel::takeRequest() {
    std::lock_guard<std::mutex> hold(lock_);
    if (requests_.empty()) {
        return std::nullopt;
    }
    ServerRequest taken = std::move(requests_.front());
    requests_.pop_front();
    return taken;
}

void TopicChannel::reply(ServerReply reply) {
    if (gReplyFault != nullptr && gReplyFault(reply)) {
        throw std::bad_alloc();
    }
    {
        std::lock_guard<std::mutex> hold(lock_);
        const bool completes = completesRequest(reply);
        if (const auto* values = std::get_if<reply::Values>(&reply)) {
            supersedeWaitingValues(replies_, values->block);
        }
        replies_.push_back(std::move(reply));
        if (completes) {
            ++completed_;
        }
    }
    SetEvent(replyEvent_.get());
}

unsigned long TopicChannel::completedReplies() const {
    std::lock_guard<std::mutex> hold(lock_);
    return completed_;
}

void TopicChannel::callStarted(const char* name) {
    std::lock_guard<std::mutex> hold(lock_);
    call_.serial = nextCallSerial_++;
    call_.name = name;
    call_.startedAt = tickCount();
}

void TopicChannel::callEnded() {
    std::lock_guard<std::mutex> hold(lock_);
    call_ = CallInProgress{};
}

void TopicChannel::handleInline(std::function<void(ServerRequest&)> handler,
                                std::function<void()> idle) {
    inlineHandler_ = std::move(handler);
    inlineIdle_ = std::move(idle);
}

void TopicChannel::runInlineIdle() {
    if (inlineIdle_) {
        inlineIdle_();
    }
}

}  // namespace korven
