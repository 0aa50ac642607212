#pragma once
// The OPC side of one topic: the server connection, the OPC group and both
// subscriptions, with the two callback objects. It lives on the topic's
// server thread (a single-threaded apartment of its own, ServerThread): it is
// made, used and destroyed there, and every call to the server is made from
// there, so a server that is slow, hung or gone holds back only its topic. It
// takes the main thread's requests from the topic's channel and answers
// through it; the values the server sends go the same way.
#include <windows.h>
#include <objidl.h>
#include <ocidl.h>

#include <memory>

#include "OpcDa.h"
#include "common/ThreadAffinity.h"
#include "opc/ServerReply.h"
#include "opc/ServerRequest.h"
#include "opc/TopicChannel.h"

namespace korven {

class DataCallbackSink;
class DataChangeSink;
class ShutdownSink;

class ServerSession {
  public:
    explicit ServerSession(std::shared_ptr<TopicChannel> channel);
    ~ServerSession();
    ServerSession(const ServerSession&) = delete;
    ServerSession& operator=(const ServerSession&) = delete;

    // Serves requests and the apartment's messages until the topic closes.
    void run();
    // One request; every request gets exactly one reply that completes it.
    // Whatever the handling raises is caught here: the request is answered
    // as a failure and a server that was held is treated as lost.
    void handle(ServerRequest& request);
    // After a shutdown request, once no call is out: releases everything.
    void releaseIfShutDown();
    bool closed() const { return closed_; }

    // From the callback objects, on this thread.
    void deliverValues(DataChangeBlock block);
    void shutdownRequested(LPCWSTR reason);

    // Released without any call when the server is gone.
    void releaseGroup();
    void releaseServer();
    // The group, then the server.
    void releaseAll();

    // Tests: runs as each request is taken, before it is handled; it may
    // raise, as a failed allocation would, or end the thread.
    using RequestHook = void (*)(const ServerRequest& request);
    static void setRequestHook(RequestHook hook);

    // Interfaces, null when not held.
    IOPCServer* server = nullptr;
    IOPCGroupStateMgt* groupStateMgt = nullptr;
    IOPCItemMgt* itemMgt = nullptr;
    IDataObject* dataObject = nullptr;
    IOPCAsyncIO* asyncIo = nullptr;
    DWORD dataConnection = 0;
    // The 2.0 path, where the group has no 1.0 stream.
    IConnectionPointContainer* groupPoints = nullptr;
    IConnectionPoint* dataPoint = nullptr;
    IOPCAsyncIO2* asyncIo2 = nullptr;
    DWORD callbackCookie = 0;
    IConnectionPointContainer* pointContainer = nullptr;
    IConnectionPoint* shutdownPoint = nullptr;
    IUnknown* shutdownSinkRef = nullptr;
    DWORD shutdownCookie = 0;
    OPCHANDLE serverGroupHandle = 0;

  private:
    // After a request whose handling raised `hr`: its completing reply when
    // none was sent, and a held server is let go as a lost one.
    void recoverFrom(const ServerRequest& request, HRESULT hr, unsigned long completedBefore);
    // Each connection has callback objects of its own: whatever the server
    // of an earlier connection still sends reaches a detached object.
    void makeSinks();
    void dropDataSinks();
    void dropShutdownSink();
    // Each request's handling, overloaded on its record.
    // The server object and the group, both subscriptions; Connected or
    // ConnectFailed.
    void serve(const request::Connect& request);
    void connectServer(const request::Connect& request);
    void createGroup(const request::Connect& request, DWORD& revisedRate);
    // The group's values through the 1.0 stream, or through the 2.0
    // callbacks; the failure's code when the path cannot be set up (what was
    // made of it is given back).
    HRESULT subscribeStream();
    HRESULT subscribeCallbacks(OPCHANDLE clientGroupHandle);
    void releaseStream();
    void releaseCallbacks();
    // RemoveItems, then AddItems, as one pass.
    void serve(const request::SyncItems& request);
    // GetStatus and GetState, for the status page.
    void serve(const request::ReadStatus& request);
    // The group's new parameters.
    void serve(const request::SetState& request);
    // Refresh Now, through whichever path the group uses.
    void serve(const request::Refresh& request);
    // The items leave the group, everything is released, the thread ends.
    void serve(const request::Close& request);
    void removeItems(const std::vector<OPCHANDLE>& handles);

    template <class Interface>
    void releaseInterface(Interface*& field);
    // Ends a value subscription (`cancel` on `source` with `token`); with a
    // lost server, cuts its hold on `sink` instead of calling it.
    template <class Source>
    void cancelValues(DWORD& token, Source* source,
                      HRESULT (STDMETHODCALLTYPE Source::*cancel)(DWORD), const char* callName,
                      IUnknown* sink);

    // True while the group may be called: held, not lost, no shutdown pending.
    bool groupUsable() const;
    // A call ended with `hr`: when it says the server is gone, everything is
    // released without calls and the main thread is told. True when it did.
    bool noteServerLoss(HRESULT hr);
    // Everything is released without calls, and the main thread is told.
    void loseServer(HRESULT hr);

    // Marks a call as out for the main thread's watch, for its scope.
    class CallWatch {
      public:
        CallWatch(TopicChannel& channel, const char* name) : channel_(channel) {
            channel_.callStarted(name);
        }
        ~CallWatch() { channel_.callEnded(); }
        CallWatch(const CallWatch&) = delete;
        CallWatch& operator=(const CallWatch&) = delete;

      private:
        TopicChannel& channel_;
    };

    // Stops the process in checking builds when called off the server thread.
    void checkThread() const { affinity_.check("a topic's server session (ServerSession)"); }

    ThreadAffinity affinity_;  // the topic's server thread
    std::shared_ptr<TopicChannel> channel_;
    DataChangeSink* dataSink_ = nullptr;
    DataCallbackSink* callbackSink_ = nullptr;
    bool callbacks_ = false;            // the group's values come through the callbacks
    DWORD nextRefreshTransaction_ = 1;  // Refresh2's transaction ids: never 0
    ShutdownSink* shutdownSink_ = nullptr;
    bool releasePending_ = false;
    bool serverLost_ = false;
    bool closed_ = false;
};

}  // namespace korven
