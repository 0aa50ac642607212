// The status window's operations on a topic group: the status snapshot, the
// update speed and the immediate refresh.
#include "common/BridgeLock.h"
#include "common/ComMemory.h"
#include "common/ConsoleLog.h"
#include "opc/TopicGroup.h"

namespace korven {
namespace {

struct SpeedMode {
    DWORD rate;  // 0: keep the rate
    BOOL active;
};

constexpr SpeedMode kSpeedModes[] = {{1000, TRUE}, {3000, TRUE}, {5000, TRUE}, {0, FALSE}};

}  // namespace

void TopicGroup::refreshStatus() {
    BridgeLockHold hold;
    // After a server shutdown or loss the group is released (or about to be):
    // the last values read stay, but nothing is running or connected any more.
    auto showReleased = [this] {
        serverStatus.dwServerState = static_cast<OPCSERVERSTATE>(0);
        active = 0;
        clientGroupHandle = 0;
        serverGroupHandle = 0;
    };
    if (!groupUsable()) {
        showReleased();
        return;
    }
    if (server != nullptr) {
        CoTaskMemPtr<OPCSERVERSTATUS> status;
        const HRESULT hr = server->GetStatus(status.out());
        if (SUCCEEDED(hr) && status) {
            CoTaskMemPtr<wchar_t> vendor(status.get()->szVendorInfo);
            // The text is made before anything is stored: the record must
            // never point at the server's memory, which goes at the end.
            SharedText vendorText = SharedText::fromWide(vendor.get());
            serverStatus = *status.get();
            vendorInfo = vendorText;
            serverStatus.szVendorInfo = const_cast<LPWSTR>(vendorInfo.wide());
        } else if (noteServerLoss(hr)) {
            showReleased();
            return;
        }
    }
    // A shutdown request may have arrived during GetStatus.
    if (!groupUsable() || groupStateMgt == nullptr) {
        return;
    }
    DWORD rate = 0;
    BOOL isActive = FALSE;
    LONG bias = 0;
    FLOAT percentDeadband = 0;
    DWORD locale = 0;
    OPCHANDLE clientHandle = 0;
    OPCHANDLE serverHandle = 0;
    CoTaskMemPtr<wchar_t> name;
    const HRESULT hr =
        groupStateMgt->GetState(&rate, &isActive, name.out(), &bias, &percentDeadband, &locale,
                                &clientHandle, &serverHandle);
    if (SUCCEEDED(hr)) {
        SharedText nameText = SharedText::fromWide(name.get());
        updateRate = rate;
        active = isActive;
        timeBias = bias;
        deadband = percentDeadband;
        localeId = locale;
        clientGroupHandle = clientHandle;
        serverGroupHandle = serverHandle;
        groupName = nameText;
        groupNameText = groupName.wide();
    } else if (noteServerLoss(hr)) {
        showReleased();
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
    if (!applySpeedMode(mode)) {
        return;
    }
    if (groupStateMgt != nullptr && groupUsable()) {
        DWORD revised = 0;
        const HRESULT hr = groupStateMgt->SetState(&updateRate, &revised, &active, &timeBias,
                                                   &deadband, &localeId, &clientGroupHandle);
        if (SUCCEEDED(hr)) {
            updateRate = revised;
        } else if (!noteServerLoss(hr)) {
            logError(L"「" + topicName.str() + L"」グループのアクティブ／非アクティブ設定に失敗。");
        }
    }
    speedMode = mode;
}

void TopicGroup::refreshNow() {
    if (asyncIo != nullptr && dataConnection != 0 && groupUsable()) {
        DWORD transaction = 0;
        noteServerLoss(asyncIo->Refresh(dataConnection, OPC_DS_DEVICE, &transaction));
    }
}

}  // namespace korven
