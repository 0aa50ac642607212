#pragma once
// The channel between a topic's two threads: requests from the main thread to
// the server thread, replies and reports back, and the call the server thread
// is waiting in. Values waiting for the main thread are kept one per item: a
// newer value of an item replaces an older one not yet taken. Shared by both
// threads: every member is guarded by the channel's own lock, which is held
// only to move records in and out, never across a call to the server.
#include <windows.h>

#include <deque>
#include <functional>
#include <mutex>
#include <optional>

#include "common/KernelHandle.h"
#include "opc/ServerReply.h"
#include "opc/ServerRequest.h"

namespace korven {

// The call to the server that is out now, if any.
struct CallInProgress {
    unsigned long serial = 0;  // 0: no call is out; each call has a serial of its own
    const char* name = nullptr;
    ULONGLONG startedAt = 0;  // tick count
};

class TopicChannel {
  public:
    // Neither copied nor moved: both threads hold it by its shared pointer.
    TopicChannel();

    // Main thread. Queues a request and wakes the server thread. A status
    // read, a state change or a refresh that is still queued, not yet taken,
    // stands for the new one (a state change takes the newer values): false
    // then, when nothing new was queued.
    bool post(ServerRequest request);
    std::deque<ServerReply> takeReplies();
    // Signalled when a reply is queued (auto-reset).
    HANDLE replyEvent() const { return replyEvent_.get(); }
    CallInProgress currentCall() const;
    // Start-up: whether the answer to the connection request waits, untaken.
    bool connectionAnswered() const;
    // Why the server thread ended unasked (E_UNEXPECTED when it did not say).
    HRESULT fault() const;

    // Server thread.
    std::optional<ServerRequest> takeRequest();
    // Signalled when a request is queued (auto-reset).
    HANDLE requestEvent() const { return requestEvent_.get(); }
    void reply(ServerReply reply);
    // How many replies that complete a request have been queued so far.
    unsigned long completedReplies() const;
    void callStarted(const char* name);
    void callEnded();
    // The server thread ends on a failure its requests' guard did not catch.
    void noteFault(HRESULT hr);

    // Tests: requests are handled on the posting thread, as they are posted,
    // and `idle` runs where the server thread would wait (before the main
    // thread takes the replies).
    void handleInline(std::function<void(ServerRequest&)> handler, std::function<void()> idle);
    // Tests: a reply for which `fault` is true fails as a reply that finds no
    // memory would (std::bad_alloc); null: none fails.
    using ReplyFault = bool (*)(const ServerReply& reply);
    static void setReplyFault(ReplyFault fault);
    void runInlineIdle();

  private:
    mutable std::mutex lock_;
    std::deque<ServerRequest> requests_;
    std::deque<ServerReply> replies_;
    CallInProgress call_;
    unsigned long completed_ = 0;
    HRESULT fault_ = E_UNEXPECTED;
    unsigned long nextCallSerial_ = 1;
    KernelHandle requestEvent_;
    KernelHandle replyEvent_;
    std::function<void(ServerRequest&)> inlineHandler_;
    std::function<void()> inlineIdle_;
};

}  // namespace korven
