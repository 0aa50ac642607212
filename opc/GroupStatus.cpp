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
    if (itemMgt == nullptr) {
        // The group was released after a server shutdown: the last values
        // read stay, but nothing is running or connected any more.
        serverStatus.dwServerState = static_cast<OPCSERVERSTATE>(0);
        active = 0;
        clientGroupHandle = 0;
        serverGroupHandle = 0;
        return;
    }
    if (server != nullptr) {
        CoTaskMemPtr<OPCSERVERSTATUS> status;
        if (SUCCEEDED(server->GetStatus(status.out())) && status) {
            CoTaskMemPtr<wchar_t> vendor(status.get()->szVendorInfo);
            serverStatus = *status.get();
            vendorInfo = SharedText::fromWide(vendor.get());
            serverStatus.szVendorInfo = const_cast<LPWSTR>(vendorInfo.wide());
        }
    }
    // A shutdown request may have arrived during GetStatus and released the group.
    if (groupStateMgt == nullptr) {
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
    if (SUCCEEDED(groupStateMgt->GetState(&rate, &isActive, name.out(), &bias, &percentDeadband,
                                          &locale, &clientHandle, &serverHandle))) {
        updateRate = rate;
        active = isActive;
        timeBias = bias;
        deadband = percentDeadband;
        localeId = locale;
        clientGroupHandle = clientHandle;
        serverGroupHandle = serverHandle;
        groupName = SharedText::fromWide(name.get());
        groupNameText = groupName.wide();
    }
}

void TopicGroup::setUpdateSpeed(DWORD mode) {
    if (mode >= std::size(kSpeedModes)) {
        return;
    }
    const SpeedMode& wanted = kSpeedModes[mode];
    if (wanted.rate != 0) {
        updateRate = wanted.rate;
    }
    active = wanted.active;
    if (groupStateMgt != nullptr) {
        DWORD revised = 0;
        const HRESULT hr = groupStateMgt->SetState(&updateRate, &revised, &active, &timeBias,
                                                   &deadband, &localeId, &clientGroupHandle);
        if (SUCCEEDED(hr)) {
            updateRate = revised;
        } else {
            logError(L"「" + topicName.str() + L"」グループのアクティブ／非アクティブ設定に失敗。");
        }
    }
    speedMode = mode;
}

void TopicGroup::refreshNow() {
    if (asyncIo != nullptr && dataConnection != 0) {
        DWORD transaction = 0;
        asyncIo->Refresh(dataConnection, OPC_DS_DEVICE, &transaction);
    }
}

}  // namespace korven
