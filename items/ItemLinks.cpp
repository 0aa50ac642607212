// DDE advise links on a topic group's items: counted per item and per
// conversation, logged when an item becomes linked or unlinked.
#include <string>

#include "common/BridgeLock.h"
#include "common/ConsoleLog.h"
#include "dde/DdeInstance.h"
#include "opc/TopicGroup.h"

namespace korven {
namespace {

constexpr DWORD kItemNameRoom = 256;  // UTF-16 units, NUL included

}  // namespace

int TopicGroup::adviseStart(const DdeTransaction& transaction) {
    checkThread();
    BridgeLockHold hold;
    const HandleKey item = keyOf(transaction.item);
    const HandleKey conversation = keyOf(transaction.conversation);
    auto found = itemTable.find(item);

    if (found != itemTable.end() && found->second.linkCount > 0) {
        // A conversation holds at most one link on an item: DDEML passes a
        // second advise start on the same item (a hot link switched to warm,
        // say), and counting it would leave the item linked after the
        // conversation's one advise stop.
        auto links = conversationLinks.find(conversation);
        const bool repeated = links != conversationLinks.end() && links->second.count(item) != 0;
        if (!repeated) {
            conversationLinks[conversation].insert(item);
            ++found->second.linkCount;
        }
        markCurrentValueDue(item, found->second);
        return 1;
    }

    wchar_t name[kItemNameRoom] = {};
    if (ddeInstance().queryString(transaction.item, name, kItemNameRoom, CP_WINUNICODE) == 0) {
        logError(L"「" + topicName.str() + L"」アイテム名の取得に失敗。");
        return 0;
    }
    SharedText itemId = SharedText::fromWide(name);

    // An entry holds its own reference on the handle for as long as it stays
    // in the table: its key, the OPC client handle and every set that names
    // it then keep meaning this item, whatever DDEML does with freed values.
    bool created = false;
    if (found == itemTable.end()) {
        if (!ddeInstance().keepStringHandle(transaction.item)) {
            logError(L"「" + topicName.str() + L"」アイテムのリンクに失敗。");
            return 0;
        }
        try {
            found = itemTable.try_emplace(item).first;
        } catch (...) {
            ddeInstance().freeStringHandle(transaction.item);
            throw;
        }
        created = true;
    } else if (found->second.itemId.str() != itemId.str()) {
        // The key names another item than the entry was made for: the old
        // item leaves the OPC group, and the entry starts afresh.
        ItemEntry& stale = found->second;
        if (stale.added) {
            orphanServerHandles.push_back(stale.serverHandle);
        }
        stale = ItemEntry();
    }

    ItemEntry& entry = found->second;
    if (!ddeInstance().keepStringHandle(transaction.item)) {
        logError(L"「" + topicName.str() + L"」アイテムのリンクに失敗。");
        if (created) {
            itemTable.erase(found);
            ddeInstance().freeStringHandle(transaction.item);
        }
        return 0;
    }
    entry.itemId = itemId;
    settleTicks = 0;
    ++linkedCount;
    ++entry.linkCount;
    conversationLinks[conversation].insert(item);
    logInfo(L"「" + topicName.str() + L"」アイテム「" + entry.itemId.str() + L"」のリンク。(" +
            std::to_wstring(linkedCount) + L")");
    markCurrentValueDue(item, entry);
    return 1;
}

void TopicGroup::markCurrentValueDue(HandleKey item, const ItemEntry& entry) {
    // DDEML sends nothing when an advise loop starts: an item that already
    // has a value (or an add error) to show is posted again, so the new link
    // gets it without waiting for the server's next change; so is the
    // offline mark.
    if (entry.added || entry.addError != 0 || showsOffline()) {
        dirtyItems.insert(item);
    }
}

int TopicGroup::adviseStop(const DdeTransaction& transaction) {
    checkThread();
    BridgeLockHold hold;
    const HandleKey item = keyOf(transaction.item);
    auto links = conversationLinks.find(keyOf(transaction.conversation));
    // Only the conversation's own link is taken away: a stop for an item the
    // conversation never linked must not unlink another client's item.
    if (links != conversationLinks.end() && links->second.erase(item) != 0) {
        unlinkItem(item);
    }
    return 1;
}

int TopicGroup::disconnect(const DdeTransaction& transaction) {
    checkThread();
    BridgeLockHold hold;
    auto links = conversationLinks.find(keyOf(transaction.conversation));
    if (links == conversationLinks.end()) {
        return 1;
    }
    for (HandleKey item : links->second) {
        unlinkItem(item);
    }
    conversationLinks.erase(links);
    return 1;
}

bool TopicGroup::holdsLink(HCONV conversation, HSZ item) const {
    BridgeLockHold hold;
    auto links = conversationLinks.find(keyOf(conversation));
    return links != conversationLinks.end() && links->second.count(keyOf(item)) != 0;
}

void TopicGroup::unlinkItem(HandleKey item) {
    auto found = itemTable.find(item);
    if (found == itemTable.end() || found->second.linkCount == 0) {
        return;
    }
    ItemEntry& entry = found->second;
    if (--entry.linkCount > 0) {
        return;
    }
    --linkedCount;
    settleTicks = 0;
    logInfo(L"「" + topicName.str() + L"」アイテム「" + entry.itemId.str() + L"」のリンク解除。(" +
            std::to_wstring(linkedCount) + L")");
    ddeInstance().freeStringHandle(stringHandleOf(item));
}

}  // namespace korven
