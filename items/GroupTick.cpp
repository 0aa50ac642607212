// The group's 10 ms tick: the settle counter, the batched remove and add
// passes that keep the OPC group in step with the linked items, and the
// rate-limited posting of dirty items to DDE.
#include <memory>
#include <new>
#include <vector>

#include "common/BridgeLock.h"
#include "common/ComMemory.h"
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
    if (itemMgt == nullptr) {
        releaseServer();
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
        ddeInstance().postAdvise(topicHandle, stringHandleOf(postCursor));
        // DDEML asks for the data inside the post; the set may have grown
        // meanwhile, so the successor is found afresh.
        next = dirtyItems.upper_bound(postCursor);
        dirtyItems.erase(postCursor);
    }
}

void TopicGroup::removePass() {
    BridgeLockHold hold;
    if (itemTable.empty()) {
        return;
    }
    std::vector<OPCHANDLE> serverHandles;
    serverHandles.reserve(itemTable.size());
    for (auto it = itemTable.begin(); it != itemTable.end();) {
        auto current = it++;
        ItemEntry& entry = current->second;
        if (entry.linkCount != 0) {
            continue;
        }
        if (entry.added) {
            ddeInstance().freeStringHandle(stringHandleOf(current->first));
            serverHandles.push_back(entry.serverHandle);
        }
        itemTable.erase(current);
    }
    if (!serverHandles.empty() && itemMgt != nullptr) {
        CoTaskMemPtr<HRESULT> errors;
        itemMgt->RemoveItems(static_cast<DWORD>(serverHandles.size()), serverHandles.data(),
                             errors.out());
    }
}

void TopicGroup::addPass() {
    BridgeLockHold hold;
    if (itemTable.empty() || itemMgt == nullptr) {
        return;
    }
    static wchar_t emptyAccessPath[] = L"";
    std::vector<OPCITEMDEF> definitions;
    definitions.reserve(itemTable.size());
    for (auto& [item, entry] : itemTable) {
        entry.batchIndex = -1;
        if (entry.addError != 0 || entry.added) {
            continue;
        }
        entry.batchIndex = static_cast<LONG>(definitions.size());
        OPCITEMDEF definition{};
        definition.szAccessPath = emptyAccessPath;
        definition.szItemID = const_cast<wchar_t*>(entry.itemId.wide());
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
    const HRESULT hr = itemMgt->AddItems(static_cast<DWORD>(definitions.size()), definitions.data(),
                                         results.out(), errors.out());
    const bool accepted = (hr == S_OK || hr == S_FALSE) && results && errors;
    for (auto& [item, entry] : itemTable) {
        if (entry.batchIndex < 0) {
            continue;
        }
        if (accepted) {
            const auto i = static_cast<size_t>(entry.batchIndex);
            entry.addError = errors.get()[i];
            if (entry.addError == 0) {
                ddeInstance().keepStringHandle(stringHandleOf(item));
                entry.serverHandle = results.get()[i].hServer;
                entry.added = true;
            }
            CoTaskMemFree(results.get()[i].pBlob);
        } else {
            entry.addError = -1;
        }
        dirtyItems.insert(item);
    }
}

}  // namespace korven
