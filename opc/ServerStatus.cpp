// The session's calls for the status window: the status snapshot, the group
// state and the immediate refresh.
#include <utility>

#include "common/ComMemory.h"
#include "opc/ServerSession.h"

namespace korven {

void ServerSession::serve(const request::ReadStatus&) {
    reply::Status status;
    if (!groupUsable()) {
        channel_->reply(std::move(status));
        return;
    }
    if (server != nullptr) {
        CoTaskMemPtr<OPCSERVERSTATUS> record;
        HRESULT hr;
        {
            CallWatch watch(*channel_, "GetStatus");
            hr = server->GetStatus(record.out());
        }
        if (SUCCEEDED(hr) && record) {
            CoTaskMemPtr<wchar_t> vendor(record.get()->szVendorInfo);
            status.statusRead = true;
            status.status = *record.get();
            status.status.szVendorInfo = nullptr;
            if (vendor) {
                status.vendorPresent = true;
                status.vendor = vendor.get();
            }
        } else if (noteServerLoss(hr)) {
            channel_->reply(std::move(status));
            return;
        }
    }
    // A shutdown request may have arrived during GetStatus.
    if (!groupUsable() || groupStateMgt == nullptr) {
        channel_->reply(std::move(status));
        return;
    }
    GroupParameters& group = status.group;
    CoTaskMemPtr<wchar_t> name;
    HRESULT hr;
    {
        CallWatch watch(*channel_, "GetState");
        hr = groupStateMgt->GetState(&group.updateRate, &group.active, name.out(), &group.timeBias,
                                     &group.deadband, &group.localeId, &group.clientGroupHandle,
                                     &status.serverGroupHandle);
    }
    if (SUCCEEDED(hr)) {
        status.stateRead = true;
        if (name) {
            status.namePresent = true;
            status.name = name.get();
        }
    } else {
        noteServerLoss(hr);
    }
    channel_->reply(std::move(status));
}

void ServerSession::serve(const request::SetState& request) {
    reply::StateSet set;
    if (groupUsable() && groupStateMgt != nullptr) {
        GroupParameters group = request.group;
        set.reachedServer = true;
        {
            CallWatch watch(*channel_, "SetState");
            set.hr = groupStateMgt->SetState(&group.updateRate, &set.revisedRate, &group.active,
                                             &group.timeBias, &group.deadband, &group.localeId,
                                             &group.clientGroupHandle);
        }
        if (noteServerLoss(set.hr)) {
            set.reachedServer = false;
        }
    }
    channel_->reply(std::move(set));
}

void ServerSession::serve(const request::Refresh&) {
    if (groupUsable() && asyncIo != nullptr && dataConnection != 0) {
        DWORD transaction = 0;
        HRESULT hr;
        {
            CallWatch watch(*channel_, "Refresh");
            hr = asyncIo->Refresh(dataConnection, OPC_DS_DEVICE, &transaction);
        }
        noteServerLoss(hr);
    } else if (groupUsable() && asyncIo2 != nullptr && callbacks_) {
        // The answer comes through the callbacks with this transaction id.
        const DWORD transaction = nextRefreshTransaction_++;
        if (nextRefreshTransaction_ == 0) {
            nextRefreshTransaction_ = 1;
        }
        DWORD cancelId = 0;
        HRESULT hr;
        {
            CallWatch watch(*channel_, "Refresh2");
            hr = asyncIo2->Refresh2(OPC_DS_DEVICE, transaction, &cancelId);
        }
        noteServerLoss(hr);
    }
    channel_->reply(reply::Refreshed{});
}

}  // namespace korven
