// The topic's 10 ms tick: the server thread's answers, the settle counter,
// the batched passes that keep the OPC group in step with the linked items,
// and the rate-limited posting of dirty items to DDE.
#include <utility>
#include <vector>

#include "common/BridgeLock.h"
#include "dde/AdvisePost.h"
#include "dde/DdeInstance.h"
#include "opc/TopicGroup.h"

namespace korven {

void TopicGroup::tick() {
    checkThread();
    BridgeLockHold hold;
    takeReplies();
    watchThread();
    watchCalls();
    followOnline();
    if (settleTicks >= kSettleCeiling) {
        settleTicks = kSettleRestart;
    } else {
        ++settleTicks;
    }
    if (!connected && !connectOut_) {
        reconnectWhenDue();
    }
    if (settleTicks == kSettleTicksForPasses) {
        passesDue = true;
    }
    // A pass waits while a call to the server is out; nothing piles up.
    if (passesDue && !passOut && (!connected || requestsOut == 0)) {
        passesDue = false;
        runPasses();
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

void TopicGroup::followOnline() {
    const bool now = online();
    if (now == wasOnline_) {
        return;
    }
    wasOnline_ = now;
    if (qualityMarks == QualityMarks::Hide) {
        return;
    }
    for (const auto& [item, entry] : itemTable) {
        if (entry.linkCount > 0) {
            dirtyItems.insert(item);
        }
    }
}

void TopicGroup::runPasses(bool postAdded) {
    BridgeLockHold hold;
    // The unlinked items leave. Their entries stay in the table, with their
    // handle references, until the server has let go of their client
    // handles: a value arriving late, or a new name meeting a freed handle
    // value, must not find them mixed up.
    std::vector<OPCHANDLE> remove;
    remove.swap(orphanServerHandles);
    leavingEntries_.clear();
    for (auto& [item, entry] : itemTable) {
        entry.batchIndex = -1;
        if (entry.linkCount != 0) {
            continue;
        }
        leavingEntries_.push_back(item);
        if (entry.added) {
            remove.push_back(entry.serverHandle);
            entry.added = false;
            entry.serverHandle = 0;
        }
    }
    if (!connected) {
        // A server that is gone holds nothing of ours any more.
        eraseLeavingEntries();
        return;
    }
    // The linked items with a name not yet in the group join: an entry left
    // by a refused advise start has no name, one the server refused stays
    // refused while it lives.
    std::vector<request::ItemDefinition> add;
    for (auto& [item, entry] : itemTable) {
        if (entry.addError != 0 || entry.added || entry.linkCount == 0 ||
            entry.itemId.length() == 0) {
            continue;
        }
        entry.batchIndex = static_cast<LONG>(add.size());
        add.push_back({item, entry.itemId.str()});
    }
    if (remove.empty() && add.empty()) {
        eraseLeavingEntries();
        return;
    }
    passOut = true;
    passPostsAdded_ = postAdded;
    post(request::SyncItems{std::move(remove), std::move(add)});
}

void TopicGroup::onItemsSynced(reply::ItemsSynced& synced) {
    passOut = false;
    eraseLeavingEntries();
    for (const reply::ItemResult& result : synced.results) {
        auto found = itemTable.find(result.clientHandle);
        if (found == itemTable.end() || found->second.batchIndex < 0) {
            // The entry was made anew for another name meanwhile: what the
            // server added for the old one leaves with the next pass.
            if (synced.addAccepted && result.error == 0) {
                orphanServerHandles.push_back(result.serverHandle);
            }
            continue;
        }
        ItemEntry& entry = found->second;
        entry.batchIndex = -1;
        entry.addError = result.error;
        if (entry.addError == 0) {
            entry.serverHandle = result.serverHandle;
            entry.added = true;
        }
        if (passPostsAdded_ || entry.addError != 0) {
            dirtyItems.insert(result.clientHandle);
        }
    }
    // A batch the server never saw (its group went meanwhile) is tried again
    // with the next connection.
    for (auto& [item, entry] : itemTable) {
        entry.batchIndex = -1;
    }
}

void TopicGroup::eraseLeavingEntries() {
    for (HandleKey item : leavingEntries_) {
        auto found = itemTable.find(item);
        // An advise start while the pass was out links it again: it stays,
        // and the next pass puts it back into the group.
        if (found == itemTable.end() || found->second.linkCount != 0) {
            continue;
        }
        itemTable.erase(found);
        dirtyItems.erase(item);
        ddeInstance().freeStringHandle(stringHandleOf(item));
    }
    leavingEntries_.clear();
}

}  // namespace korven
