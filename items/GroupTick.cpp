// The group's 10 ms tick: the settle counter, the batched remove and add
// passes that keep the OPC group in step with the linked items, and the
// rate-limited posting of dirty items to DDE.
#include <memory>
#include <new>
#include <vector>

#include "common/BridgeLock.h"
#include "common/ComMemory.h"
#include "dde/AdvisePost.h"
#include "dde/DdeInstance.h"
#include "opc/TopicGroup.h"

namespace korven {

void TopicGroup::tick() {
    BridgeLockHold hold;
    if (settleTicks >= kSettleCeiling) {
        settleTicks = kSettleRestart;
    } else {
        ++settleTicks;
    }
    // A shutdown request or a lost server is acted on here, where no call on
    // the group is in progress.
    if (releasePending) {
        releaseGroup();
    }
    if (itemMgt == nullptr) {
        releaseServer();
        reconnectWhenDue();
    }
    if (settleTicks == kSettleTicksForPasses) {
        removePass();
        addPass();
    }
    auto next = dirtyItems.upper_bound(postCursor);
    for (int posted = 0; posted < kPostsPerTick; ++posted) {
        if (next == dirtyItems.end()) {
            postCursor = 0;
            break;
        }
        postCursor = *next;
        AdvisePost::post(topicHandle, stringHandleOf(postCursor));
        // DDEML asks for the data inside the post; the set may have grown
        // meanwhile, so the successor is found afresh.
        next = dirtyItems.upper_bound(postCursor);
        dirtyItems.erase(postCursor);
    }
}

void TopicGroup::removePass() {
    BridgeLockHold hold;
    if (itemTable.empty() && orphanServerHandles.empty()) {
        return;
    }
    std::vector<HandleKey> leaving;
    std::vector<OPCHANDLE> serverHandles;
    leaving.reserve(itemTable.size());
    serverHandles.reserve(itemTable.size() + orphanServerHandles.size());
    serverHandles.swap(orphanServerHandles);
    for (auto& [item, entry] : itemTable) {
        if (entry.linkCount != 0) {
            continue;
        }
        leaving.push_back(item);
        if (entry.added) {
            serverHandles.push_back(entry.serverHandle);
            entry.added = false;
            entry.serverHandle = 0;
        }
    }
    // The entries stay in the table, with their handle references, until
    // the server has let go of their client handles: a value arriving late
    // or a new name meeting a freed handle value must not find them mixed up.
    if (!serverHandles.empty() && groupUsable() && !serverLost) {
        CoTaskMemPtr<HRESULT> errors;
        const HRESULT hr = itemMgt->RemoveItems(static_cast<DWORD>(serverHandles.size()),
                                                serverHandles.data(), errors.out());
        noteServerLoss(hr);
    }
    for (HandleKey item : leaving) {
        auto found = itemTable.find(item);
        // An advise start while RemoveItems was out links it again: it stays,
        // and the add pass puts it back into the group.
        if (found == itemTable.end() || found->second.linkCount != 0) {
            continue;
        }
        itemTable.erase(found);
        dirtyItems.erase(item);
        ddeInstance().freeStringHandle(stringHandleOf(item));
    }
}

void TopicGroup::addPass(bool postAdded) {
    BridgeLockHold hold;
    if (itemTable.empty() || !groupUsable()) {
        return;
    }
    static wchar_t emptyAccessPath[] = L"";
    std::vector<OPCITEMDEF> definitions;
    // The item IDs the definitions point at, held for the whole call.
    std::vector<SharedText> itemIds;
    definitions.reserve(itemTable.size());
    itemIds.reserve(itemTable.size());
    for (auto& [item, entry] : itemTable) {
        entry.batchIndex = -1;
        // Only linked items with a name: an entry left by a refused advise
        // start has none.
        if (entry.addError != 0 || entry.added || entry.linkCount == 0 ||
            entry.itemId.length() == 0) {
            continue;
        }
        entry.batchIndex = static_cast<LONG>(definitions.size());
        itemIds.push_back(entry.itemId);
        OPCITEMDEF definition{};
        definition.szAccessPath = emptyAccessPath;
        definition.szItemID = const_cast<wchar_t*>(itemIds.back().wide());
        definition.bActive = TRUE;
        definition.hClient = item;
        definition.dwBlobSize = 0;
        definition.pBlob = nullptr;
        definition.vtRequestedDataType = VT_EMPTY;
        definition.wReserved = 0;
        definitions.push_back(definition);
    }
    if (definitions.empty()) {
        return;
    }
    CoTaskMemPtr<OPCITEMRESULT> results;
    CoTaskMemPtr<HRESULT> errors;
    // The server may deliver data changes for this group before AddItems
    // returns; they never insert or erase entries, so the walk below is
    // sound, and entries made meanwhile carry batchIndex -1.
    addCallOut = true;
    const HRESULT hr = itemMgt->AddItems(static_cast<DWORD>(definitions.size()), definitions.data(),
                                         results.out(), errors.out());
    addCallOut = false;
    const bool accepted = (hr == S_OK || hr == S_FALSE) && results && errors;
    for (auto& [item, entry] : itemTable) {
        if (entry.batchIndex < 0) {
            continue;
        }
        if (accepted) {
            const auto i = static_cast<size_t>(entry.batchIndex);
            entry.addError = errors.get()[i];
            if (entry.addError == 0) {
                entry.serverHandle = results.get()[i].hServer;
                entry.added = true;
            }
        } else {
            entry.addError = -1;
        }
        if (postAdded || entry.addError != 0) {
            dirtyItems.insert(item);
        }
    }
    // Every result's blob is the caller's to free, whether the results were
    // taken or not.
    if (results && SUCCEEDED(hr)) {
        for (size_t i = 0; i < definitions.size(); ++i) {
            CoTaskMemFree(results.get()[i].pBlob);
        }
    }
    noteServerLoss(hr);
}

}  // namespace korven
