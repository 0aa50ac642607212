// The status window's operations on a topic: the status snapshot, the update
// speed and the immediate refresh. The calls are the server thread's; the
// main thread asks and shows what comes back.
#include "common/ConsoleLog.h"
#include "opc/TopicGroup.h"

namespace korven {
namespace {

struct SpeedMode {
    DWORD rate;  // 0: keep the rate
    BOOL active;
};

constexpr SpeedMode kSpeedModes[] = {{1000, TRUE}, {3000, TRUE}, {5000, TRUE}, {0, FALSE}};

StatusTaken gStatusTaken = nullptr;

}  // namespace

void setStatusTaken(StatusTaken listener) {
    gStatusTaken = listener;
}

void TopicGroup::showReleased() {
    // The last values read stay, but nothing is running or connected any more.
    serverStatus.dwServerState = static_cast<OPCSERVERSTATE>(0);
    active = 0;
    clientGroupHandle = 0;
    serverGroupHandle = 0;
}

void TopicGroup::refreshStatus() {
    checkThread();
    // What has come in since the last tick first: a snapshot that has been
    // answered is not still out.
    takeReplies();
    if (!connected) {
        showReleased();
        return;
    }
    // A call still out (the last snapshot's, a pass's) is not joined by
    // another: the snapshot is tried again at the next refresh.
    if (requestsOut == 0) {
        post(request::ReadStatus{});
    }
}

void TopicGroup::onStatus(const reply::Status& status) {
    if (!connected) {
        return;
    }
    if (status.statusRead) {
        // The record never points at memory of the server's.
        vendorInfo =
            status.vendorPresent ? SharedText::fromWide(status.vendor.c_str()) : SharedText();
        serverStatus = status.status;
        serverStatus.szVendorInfo = const_cast<LPWSTR>(vendorInfo.wide());
    }
    if (status.stateRead) {
        updateRate = status.group.updateRate;
        active = status.group.active;
        timeBias = status.group.timeBias;
        deadband = status.group.deadband;
        localeId = status.group.localeId;
        clientGroupHandle = status.group.clientGroupHandle;
        serverGroupHandle = status.serverGroupHandle;
        groupName = status.namePresent ? SharedText::fromWide(status.name.c_str()) : SharedText();
        groupNameText = groupName.wide();
    }
    if (gStatusTaken != nullptr) {
        gStatusTaken(*this);
    }
}

bool TopicGroup::applySpeedMode(DWORD mode) {
    if (mode >= std::size(kSpeedModes)) {
        return false;
    }
    const SpeedMode& wanted = kSpeedModes[mode];
    if (wanted.rate != 0) {
        updateRate = wanted.rate;
    }
    active = wanted.active;
    return true;
}

void TopicGroup::setUpdateSpeed(DWORD mode) {
    checkThread();
    if (!applySpeedMode(mode)) {
        return;
    }
    // The mode is the user's choice also while the server cannot take it.
    speedMode = mode;
    if (connected) {
        post(request::SetState{
            {updateRate, active, timeBias, deadband, localeId, clientGroupHandle}});
    }
}

void TopicGroup::onStateSet(const reply::StateSet& set) {
    if (!set.reachedServer || !connected) {
        return;
    }
    if (SUCCEEDED(set.hr)) {
        updateRate = set.revisedRate;
    } else {
        logError(L"「" + topicName.str() + L"」グループのアクティブ／非アクティブ設定に失敗。");
    }
}

void TopicGroup::refreshNow() {
    if (connected) {
        post(request::Refresh{});
    }
}

}  // namespace korven
