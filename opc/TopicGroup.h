#pragma once
// One DDE topic, as the main thread keeps it: the items DDE clients have
// linked, their values, and what the status page shows of the topic's OPC
// server and group. The OPC side itself (the server connection, the group,
// both subscriptions) lives on the topic's own server thread (ServerSession);
// this object asks it through the topic's channel and takes its answers and
// values at every tick, so no call to a server ever holds up the main thread.
// Main thread only.
#include <windows.h>
#include <ddeml.h>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "OpcDa.h"
#include "common/HandleKey.h"
#include "common/SharedText.h"
#include "common/ThreadAffinity.h"
#include "config/ArraysSetting.h"
#include "config/QualitySetting.h"
#include "dde/DdeTransaction.h"
#include "items/ItemEntry.h"
#include "opc/ServerReply.h"
#include "opc/ServerRequest.h"
#include "opc/ServerThread.h"
#include "opc/TopicChannel.h"

namespace korven {

struct DataChangeBlock;

using ItemTable = std::map<HandleKey, ItemEntry>;
using ConversationLinks = std::map<HandleKey, std::set<HandleKey>>;
using DirtyItems = std::set<HandleKey>;

// The tick's rhythm: the passes run when the settle counter reaches 200 ticks
// after the last link change; the counter then climbs to 10000 and cycles
// from 1000; at most five dirty items are posted per tick.
constexpr LONG kSettleTicksForPasses = 200;
constexpr LONG kSettleCeiling = 10000;
constexpr LONG kSettleRestart = 1000;
constexpr int kPostsPerTick = 5;

// A call to a server that has been out this long is said to be unanswered.
constexpr ULONGLONG kUnansweredCallMs = 10000;
// How long start-up waits for a topic's first connection, and exit for the
// topics' servers to be released.
constexpr ULONGLONG kFirstConnectionWaitMs = 60000;
constexpr ULONGLONG kCloseWaitMs = 5000;

class TopicGroup;

// Told when a topic has taken in a status snapshot (the status page's).
using StatusTaken = void (*)(const TopicGroup& group);
void setStatusTaken(StatusTaken listener);

class TopicGroup {
  public:
    // Makes the topic's handle, starts its server thread and asks it to
    // connect (awaitFirstConnection tells the outcome). Raises _com_error
    // for a topic name DDEML cannot hold, std::bad_alloc without memory.
    TopicGroup(const SharedText& progId, const SharedText& nodeName, const SharedText& topicName,
               DWORD reconnectSeconds = 0, DataAccess dataAccess = DataAccess::Auto);
    // Releases the OPC side (closing it first when that has not been asked
    // for), at most until the close deadline; then the item side.
    ~TopicGroup();
    TopicGroup(const TopicGroup&) = delete;
    TopicGroup& operator=(const TopicGroup&) = delete;

    // Start-up: waits (dispatching messages) for the outcome of the first
    // connection, at most until `deadline`. S_OK, the failure's code, or
    // RPC_E_TIMEOUT when the attempt is still out; a later outcome is taken
    // as a reconnection's.
    HRESULT awaitFirstConnection(ULONGLONG deadline);
    // Start-up, while every topic's first connection is out at once: true
    // when its outcome can be taken without waiting. Takes nothing, so that
    // what the topic says is said in its section's turn.
    bool firstConnectionSettled() const;
    // Signalled when the server thread has answered something.
    HANDLE replyEvent() const { return channel_->replyEvent(); }
    // Exit: asks the server thread to remove the added items and release
    // everything, once. The destructor waits for it.
    void beginClose();

    // Status snapshot of the server and the group, for the status page:
    // asked of the server thread when no call is out; shown when it comes.
    void refreshStatus();
    // Update speed: 0 High (1000 ms), 1 Normal (3000 ms), 2 Low (5000 ms), 3 Pause.
    void setUpdateSpeed(DWORD mode);
    // Asks the server for the current device values, sent through the stream.
    void refreshNow();
    // The requested rate and active state of a speed mode, into the group
    // parameters (no call); false for a mode that does not exist.
    bool applySpeedMode(DWORD mode);

    // DDE links.
    int adviseStart(const DdeTransaction& transaction);
    int adviseStop(const DdeTransaction& transaction);
    int disconnect(const DdeTransaction& transaction);
    // Whether the conversation holds a link on the item here (an advise
    // start taken, no stop, no disconnect, its partner not found dead).
    bool holdsLink(HCONV conversation, HSZ item) const;
    // DDE data.
    HDDEDATA adviseData(const DdeTransaction& transaction);
    HDDEDATA requestData(const DdeTransaction& transaction);

    // Whether the topic's server can be counted on now: connected, and no
    // call to it out for 10 s. The one account of it, which the page, the
    // offline mark and the System topic's TopicStates read.
    bool online() const { return connected && unansweredCall_ == 0; }
    // True while the topic's items read "#OFFLINE" (Quality=mark or strict).
    bool showsOffline() const { return qualityMarks != QualityMarks::Hide && !online(); }

    // Values of one data-change block into the item table; marks them dirty.
    void storeDataChange(const DataChangeBlock& block);

    // The 10 ms timer's work: the server thread's answers, the settle
    // counter, the passes, the reconnection and the posting of dirty items.
    void tick();
    // Takes what the server thread has answered or reported.
    void takeReplies();
    // The passes: the unlinked items leave the OPC group and the linked ones
    // not in it join, in one request. Each item of the batch is posted once
    // the answer comes (its links learn of the new item, or of its add
    // error), unless `postAdded` is false: then an item the server took keeps
    // what its links last received until its first value arrives (a
    // reconnection sends nothing old again). Without a connection the
    // unlinked entries go at once.
    void runPasses(bool postAdded = true);

    ItemTable itemTable;
    ConversationLinks conversationLinks;
    HSZ topicHandle = nullptr;
    SharedText topicName;
    SharedText progId;
    SharedText nodeName;
    OPCSERVERSTATUS serverStatus{};
    SharedText vendorInfo;
    // Group parameters, in the order of the group-state calls.
    DWORD updateRate = 3000;
    BOOL active = TRUE;
    const wchar_t* groupNameText = nullptr;
    LONG timeBias = 0;
    FLOAT deadband = 0.0f;
    DWORD localeId = 0;
    OPCHANDLE clientGroupHandle = 0;
    OPCHANDLE serverGroupHandle = 0;
    SharedText groupName;
    DirtyItems dirtyItems;
    HandleKey postCursor = 0;
    LONG settleTicks = 0;
    LONG linkedCount = 0;
    DWORD speedMode = 1;  // 0 High, 1 Normal, 2 Low, 3 Pause
    // Seconds between attempts to connect again after the server shut down,
    // was lost or could not be reached; 0: never.
    DWORD reconnectSeconds = 0;
    ULONGLONG nextReconnectAt = 0;  // tick count of the next attempt; 0: none planned
    DWORD reconnectFailures = 0;    // failed attempts since the connection went
    // How the group's values reach the bridge (the DataAccess key).
    DataAccess dataAccess = DataAccess::Auto;
    // How the topic's values read (the Quality and Arrays keys).
    QualityMarks qualityMarks = QualityMarks::Hide;
    ArrayTexts arrayTexts = ArrayTexts::Error;
    // The server was seen to write 24-byte value records (logged once).
    bool wideRecordsSeen = false;
    // The values were seen to come through the 2.0 callbacks (logged once).
    bool callbacksSeen = false;
    // Server handles of items that must leave the OPC group with the next
    // pass although their entries were reused.
    std::vector<OPCHANDLE> orphanServerHandles;

    // The destructor says the topic's release (not for a topic that failed
    // at start).
    bool sayRelease = true;
    // A topic whose section start-up never reported says nothing at all.
    bool unannounced = false;
    // The connection as the server thread last told it.
    bool connected = false;
    // A pass is out: values for the entries of its add batch are taken already.
    bool passOut = false;
    // The passes are due and wait for the server thread to be free.
    bool passesDue = false;
    // Requests sent and not yet answered.
    int requestsOut = 0;

  private:
    void post(ServerRequest request);
    void handleReply(ServerReply& reply);
    void onConnected(const reply::Connected& connected);
    void onConnectFailed(HRESULT hr);
    void onItemsSynced(reply::ItemsSynced& synced);
    void onStatus(const reply::Status& status);
    void onStateSet(const reply::StateSet& set);
    void onDisconnected();
    // After a shutdown or a lost server: an attempt to connect when it is
    // due and the server thread is free.
    void reconnectWhenDue();
    void requestConnection();
    // A call that has been out too long is said once, and its end.
    void watchCalls();
    // A server thread that ended unasked: the topic's server is lost, and a
    // reconnection starts a new thread.
    void watchThread();
    // The server is gone: said with the code of the failure, then released.
    void onLost(HRESULT hr);
    // A new channel and a server thread serving it; raises _com_error when
    // the thread cannot be made.
    void startThread();
    // What the page shows of a topic without a connection.
    void showReleased();
    void eraseLeavingEntries();
    void unlinkItem(HandleKey item);
    void markCurrentValueDue(HandleKey item, const ItemEntry& entry);
    // Where the topic marks it, every link learns at its next post when the
    // server can no longer be counted on, and again when a call that was out
    // returns; after a reconnection the new server's values come as they come.
    void followOnline();

    // Stops the process in checking builds when called off the main thread.
    void checkThread() const { affinity_.check("a topic's main-thread object (TopicGroup)"); }

    ThreadAffinity affinity_;  // the main thread
    std::shared_ptr<TopicChannel> channel_;
    std::unique_ptr<ServerThread> thread_;
    bool threadGone_ = false;  // the thread ended unasked; none serves the channel
    // The entries of the pass that is out which were unlinked: erased once
    // the server has let go of their client handles.
    std::vector<HandleKey> leavingEntries_;
    bool passPostsAdded_ = true;
    bool connectOut_ = false;
    bool firstConnection_ = true;
    std::optional<HRESULT> firstOutcome_;
    bool closing_ = false;
    ULONGLONG closeDeadline_ = 0;
    unsigned long unansweredCall_ = 0;  // serial of the call said to be unanswered
    bool lostDuringCall_ = false;       // that call ended with the server lost
    // online() as the last tick found it; a new connection counts as online
    // already, so that only a call's return posts every link again.
    bool wasOnline_ = false;
};

}  // namespace korven
