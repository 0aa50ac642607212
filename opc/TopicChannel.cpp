#include "opc/TopicChannel.h"

#include <utility>

#include "common/TickClock.h"

namespace korven {

bool completesRequest(const ServerReply& reply) {
    return !std::holds_alternative<reply::Values>(reply) &&
           !std::holds_alternative<reply::ShutdownRequested>(reply) &&
           !std::holds_alternative<reply::Released>(reply) &&
           !std::holds_alternative<reply::Lost>(reply);
}

TopicChannel::TopicChannel()
    : requestEvent_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      replyEvent_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

TopicChannel::~TopicChannel() {
    if (requestEvent_ != nullptr) {
        CloseHandle(requestEvent_);
    }
    if (replyEvent_ != nullptr) {
        CloseHandle(replyEvent_);
    }
}

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
    SetEvent(requestEvent_);
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
    {
        std::lock_guard<std::mutex> hold(lock_);
        replies_.push_back(std::move(reply));
    }
    SetEvent(replyEvent_);
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
