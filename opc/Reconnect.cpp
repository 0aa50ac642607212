// A topic set to reconnect (Reconnect=<seconds>) connects to its server again
// after a shutdown or a lost server: the group is made anew with the topic's
// speed mode, the items that still have links go to it in one batch, and the
// values flow again to the same DDE conversations.
#include <comdef.h>

#include <string>

#include "common/ConsoleLog.h"
#include "common/TickClock.h"
#include "opc/TopicGroup.h"

namespace korven {
namespace {

constexpr DWORD kFailuresPerLine = 10;

}  // namespace

void TopicGroup::reconnectWhenDue() {
    if (reconnectSeconds == 0) {
        return;
    }
    const ULONGLONG now = tickCount();
    const ULONGLONG interval = static_cast<ULONGLONG>(reconnectSeconds) * 1000;
    if (nextReconnectAt == 0) {
        // The connection has just gone: the first attempt one interval later.
        nextReconnectAt = now + interval;
        return;
    }
    if (now < nextReconnectAt) {
        return;
    }
    nextReconnectAt = now + interval;

    serverLost = false;
    releasePending = false;
    serverGroupHandle = 0;
    clientGroupHandle = keyOf(topicHandle);
    groupNameText = topicName.wide();
    applySpeedMode(speedMode);
    try {
        connectServer();
        createGroup();
    } catch (const _com_error& error) {
        // What was made of the attempt (a server that refused the group, say)
        // is given back at once.
        releaseGroup();
        releaseServer();
        if (reconnectFailures++ % kFailuresPerLine == 0) {
            logError(L"「" + topicName.str() + L"」再接続に失敗。(" +
                     std::to_wstring(static_cast<long>(error.Error())) + L")");
        }
        return;
    } catch (...) {
        releaseGroup();
        releaseServer();
        throw;
    }
    reconnectFailures = 0;
    nextReconnectAt = 0;
    logInfo(L"「" + topicName.str() + L"」再接続。");

    // The old server's handles and verdicts mean nothing to the new one:
    // every item that still has links goes to it in one batch. Their links
    // keep what they last received until the new server's first values: an
    // old value sent again would look like a new one.
    for (auto& [item, entry] : itemTable) {
        entry.added = false;
        entry.serverHandle = 0;
        entry.addError = 0;
    }
    orphanServerHandles.clear();
    removePass();
    addPass(false);
}

}  // namespace korven
