#pragma once
// The thread a topic's session lives on: a single-threaded apartment of its
// own, so that calls to the topic's server, however long they take, hold
// back nothing but the topic. Made and ended by the topic's main-thread
// object (TopicGroup); the thread owns its session and shares only the
// channel.
#include <windows.h>

#include <memory>

#include "common/KernelHandle.h"
#include "opc/TopicChannel.h"

namespace korven {

class ServerSession;

class ServerThread {
  public:
    // Starts the thread, which makes its session and serves the channel.
    explicit ServerThread(std::shared_ptr<TopicChannel> channel);
    // A thread still running (waiting in a call that does not return) is left
    // to itself: the channel outlives whichever side ends last. Owning the
    // thread, the object is neither copied nor moved.
    ~ServerThread();

    bool started() const { return thread_ != nullptr || inlineSession_ != nullptr; }
    // True once the thread has ended, asked to or not.
    bool ended() const {
        return thread_ != nullptr && WaitForSingleObject(thread_.get(), 0) == WAIT_OBJECT_0;
    }
    // Waits until the thread has ended, at most until `deadline` (tick
    // count), dispatching the caller's messages meanwhile. True when it has.
    bool waitEnded(ULONGLONG deadline);

    // Tests: sessions live on the thread that makes them and handle each
    // request as it is posted.
    static void runInline(bool on);

  private:
    KernelHandle thread_;
    std::unique_ptr<ServerSession> inlineSession_;
};

}  // namespace korven
