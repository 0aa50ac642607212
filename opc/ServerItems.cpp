// The session's item calls: a pass's removal and addition, and the removal
// of every item when the topic closes.
#include <new>
#include <utility>
#include <vector>

#include "common/ComMemory.h"
#include "opc/ServerSession.h"

namespace korven {

void ServerSession::removeItems(const std::vector<OPCHANDLE>& handles) {
    if (handles.empty() || !groupUsable()) {
        return;
    }
    std::vector<OPCHANDLE> serverHandles = handles;
    CoTaskMemPtr<HRESULT> errors;
    HRESULT hr;
    {
        CallWatch watch(*channel_, "RemoveItems");
        hr = itemMgt->RemoveItems(static_cast<DWORD>(serverHandles.size()), serverHandles.data(),
                                  errors.out());
    }
    noteServerLoss(hr);
}

void ServerSession::serve(const request::SyncItems& request) {
    reply::ItemsSynced synced;
    removeItems(request.remove);
    if (!groupUsable()) {
        channel_->reply(std::move(synced));
        return;
    }
    synced.reachedServer = true;
    if (request.add.empty()) {
        channel_->reply(std::move(synced));
        return;
    }
    static wchar_t emptyAccessPath[] = L"";
    std::vector<OPCITEMDEF> definitions;
    definitions.reserve(request.add.size());
    for (const request::ItemDefinition& item : request.add) {
        OPCITEMDEF definition{};
        definition.szAccessPath = emptyAccessPath;
        definition.szItemID = const_cast<wchar_t*>(item.itemId.c_str());
        definition.bActive = TRUE;
        definition.hClient = item.clientHandle;
        definition.dwBlobSize = 0;
        definition.pBlob = nullptr;
        definition.vtRequestedDataType = VT_EMPTY;
        definition.wReserved = 0;
        definitions.push_back(definition);
    }
    CoTaskMemPtr<OPCITEMRESULT> results;
    CoTaskMemPtr<HRESULT> errors;
    HRESULT hr;
    {
        // The server may send data changes for this group before AddItems
        // returns: they reach the main thread before this pass's answer.
        CallWatch watch(*channel_, "AddItems");
        hr = itemMgt->AddItems(static_cast<DWORD>(definitions.size()), definitions.data(),
                               results.out(), errors.out());
    }
    synced.addAccepted = (hr == S_OK || hr == S_FALSE) && results && errors;
    synced.results.reserve(request.add.size());
    for (size_t i = 0; i < request.add.size(); ++i) {
        reply::ItemResult result;
        result.clientHandle = request.add[i].clientHandle;
        if (synced.addAccepted) {
            result.error = errors.get()[i];
            result.serverHandle = results.get()[i].hServer;
        } else {
            result.error = -1;
        }
        synced.results.push_back(result);
    }
    // Every result's blob is the caller's to free, whether the results were
    // taken or not.
    if (results && SUCCEEDED(hr)) {
        for (size_t i = 0; i < definitions.size(); ++i) {
            CoTaskMemFree(results.get()[i].pBlob);
        }
    }
    if (noteServerLoss(hr)) {
        // Nothing was decided: the items stay as they were until the
        // server is back.
        synced = reply::ItemsSynced{};
    }
    channel_->reply(std::move(synced));
}

void ServerSession::serve(const request::Close& request) {
    removeItems(request.remove);
    releaseAll();
    releasePending_ = false;
    closed_ = true;
    channel_->reply(reply::Closed{});
}

}  // namespace korven
