#pragma once
// One DDE topic: its OPC server connection, its OPC group and subscriptions,
// and the items DDE clients have linked on it.
#include <windows.h>
#include <ddeml.h>
#include <objidl.h>
#include <ocidl.h>

#include <map>
#include <set>
#include <vector>

#include "OpcDa.h"
#include "common/HandleKey.h"
#include "common/SharedText.h"
#include "dde/DdeTransaction.h"
#include "items/ItemEntry.h"

namespace korven {

class DataChangeSink;
struct DataChangeBlock;
class ShutdownSink;

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

class TopicGroup {
  public:
    // Builds the group for a topic, or raises _com_error.
    TopicGroup(const SharedText& progId, const SharedText& nodeName, const SharedText& topicName);
    ~TopicGroup();
    TopicGroup(const TopicGroup&) = delete;
    TopicGroup& operator=(const TopicGroup&) = delete;

    // Releases the data-change subscription and the four group interfaces.
    void releaseGroup();
    // Releases the shutdown subscription, removes the group from the server
    // and releases the server.
    void releaseServer();
    // True while the group's interfaces may be called: held, and no release
    // waiting for the next tick.
    bool groupUsable() const { return itemMgt != nullptr && !releasePending; }
    // A call on the server or the group failed with `hr`: when that says the
    // server is gone, logs it once and leaves the group to the next tick's
    // release. True when it did.
    bool noteServerLoss(HRESULT hr);

    // Status snapshot of the server and the group, for the status page.
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
    // DDE data.
    HDDEDATA adviseData(const DdeTransaction& transaction);
    HDDEDATA requestData(const DdeTransaction& transaction);

    // Values of one data-change block into the item table; marks them dirty.
    void storeDataChange(const DataChangeBlock& block);

    // The 10 ms timer's work.
    void tick();
    void removePass();
    // Puts every linked item not yet in the OPC group into it with one call.
    // Each item of the batch is posted at once (its links learn of the new
    // item, or of its add error), unless `postAdded` is false: then an item
    // the server took keeps what its links last received until its first
    // value arrives (a reconnect sends nothing old again).
    void addPass(bool postAdded = true);

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
    // Interfaces, null when not held.
    IOPCServer* server = nullptr;
    IOPCGroupStateMgt* groupStateMgt = nullptr;
    IOPCItemMgt* itemMgt = nullptr;
    IDataObject* dataObject = nullptr;
    IOPCAsyncIO* asyncIo = nullptr;
    DataChangeSink* dataSink = nullptr;
    DWORD dataConnection = 0;
    IConnectionPointContainer* pointContainer = nullptr;
    IConnectionPoint* shutdownPoint = nullptr;
    IUnknown* shutdownSinkRef = nullptr;
    DWORD shutdownCookie = 0;
    ShutdownSink* shutdownSink = nullptr;
    DirtyItems dirtyItems;
    HandleKey postCursor = 0;
    LONG settleTicks = 0;
    LONG linkedCount = 0;
    DWORD speedMode = 1;  // 0 High, 1 Normal, 2 Low, 3 Pause
    // A shutdown request or a lost server marks the group; the next tick
    // releases it, never a callback that may run inside one of the group's
    // own calls.
    bool releasePending = false;
    // The server process is gone: releasing makes no call that would wait on it.
    bool serverLost = false;
    // Seconds between attempts to connect again after the server shut down
    // or was lost; 0: never.
    DWORD reconnectSeconds = 0;
    ULONGLONG nextReconnectAt = 0;  // tick count of the next attempt; 0: none planned
    DWORD reconnectFailures = 0;    // failed attempts since the connection went
    // The server was seen to write 24-byte value records (logged once).
    bool wideRecordsSeen = false;
    // AddItems is out: values for the entries of its batch are taken already.
    bool addCallOut = false;
    // Server handles of items that must leave the OPC group with the next
    // remove pass although their entries were reused.
    std::vector<OPCHANDLE> orphanServerHandles;

  private:
    // While disconnected and set to reconnect: an attempt when it is due.
    void reconnectWhenDue();
    void connectServer();
    void createGroup();
    void unlinkItem(HandleKey item);
    void markCurrentValueDue(HandleKey item, const ItemEntry& entry);
    void releaseCallbackObjects();
};

}  // namespace korven
