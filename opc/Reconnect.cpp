// The topic's connection as the main thread drives it: the request to
// connect, its outcome, and, for a topic set to reconnect
// (Reconnect=<seconds>), the attempts after a shutdown, a lost server or a
// failed start. A new connection makes the group anew with the topic's speed
// mode, the items that still have links go to it in one batch, and the
// values flow again to the same DDE conversations.
#include <comdef.h>

#include <new>
#include <string>

#include "common/ConsoleLog.h"
#include "common/TickClock.h"
#include "opc/TopicGroup.h"

namespace korven {
namespace {

constexpr DWORD kFailuresPerLine = 10;

}  // namespace

void TopicGroup::requestConnection() {
    serverGroupHandle = 0;
    clientGroupHandle = keyOf(topicHandle);
    groupNameText = topicName.wide();
    applySpeedMode(speedMode);
    request::Connect connect;
    connect.progId = progId.str();
    connect.nodeName = nodeName.str();
    connect.groupName = topicName.str();
    connect.group = {updateRate, active, timeBias, deadband, localeId, clientGroupHandle};
    connect.dataAccess = dataAccess;
    connectOut_ = true;
    post(std::move(connect));
}

void TopicGroup::reconnectWhenDue() {
    if (reconnectSeconds == 0 || closing_) {
        return;
    }
    const ULONGLONG now = tickCount();
    const ULONGLONG interval = static_cast<ULONGLONG>(reconnectSeconds) * 1000;
    if (nextReconnectAt == 0) {
        // The connection has just gone: the first attempt one interval later.
        nextReconnectAt = now + interval;
        return;
    }
    if (now < nextReconnectAt || requestsOut != 0) {
        return;
    }
    nextReconnectAt = now + interval;
    try {
        // A server thread that ended is replaced by a new one.
        if (threadGone_) {
            startThread();
        }
        requestConnection();
    } catch (const _com_error& error) {
        onConnectFailed(error.Error());
    } catch (const std::bad_alloc&) {
        onConnectFailed(E_OUTOFMEMORY);
    }
}

void TopicGroup::onConnected(const reply::Connected& made) {
    connectOut_ = false;
    connected = true;
    serverGroupHandle = made.serverGroupHandle;
    updateRate = made.revisedRate;
    reconnectFailures = 0;
    nextReconnectAt = 0;
    // Each link waits for the new server's value: nothing is posted for the
    // connection itself.
    wasOnline_ = true;
    if (made.callbacks && !callbacksSeen) {
        callbacksSeen = true;
        logInfo(L"「" + topicName.str() + L"」はDA 2.0のコールバックで値を受け取ります。");
    }
    if (firstConnection_) {
        firstConnection_ = false;
        firstOutcome_ = S_OK;
        return;
    }
    logInfo(L"「" + topicName.str() + L"」再接続。");

    // The old server's handles and verdicts mean nothing to the new one:
    // every item that still has links goes to it in one batch. Their links
    // keep what they last received until the new server's first values: an
    // old value sent again would look like a new one.
    for (auto& [item, entry] : itemTable) {
        entry.added = false;
        entry.serverHandle = 0;
        entry.addError = 0;
        // A topic that marks what it cannot count on reads no old value as
        // the new server's: until its first value the item is empty.
        if (qualityMarks != QualityMarks::Hide) {
            VariantClear(&entry.value);
            entry.quality = 0;
            entry.reservedWord = 0;
            entry.dataError = 0;
            entry.typeError.reset();
        }
    }
    orphanServerHandles.clear();
    passesDue = false;
    runPasses(false);
}

void TopicGroup::onConnectFailed(HRESULT hr) {
    connectOut_ = false;
    connected = false;
    if (firstConnection_) {
        // Start-up says what happened; a topic set to reconnect tries again
        // an interval later.
        firstConnection_ = false;
        firstOutcome_ = hr;
        nextReconnectAt = 0;
        return;
    }
    if (reconnectFailures++ % kFailuresPerLine == 0) {
        logError(L"「" + topicName.str() + L"」再接続に失敗。(" +
                 std::to_wstring(static_cast<long>(hr)) + L")");
    }
}

}  // namespace korven
