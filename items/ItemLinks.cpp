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
    BridgeLockHold hold;
    const HandleKey item = keyOf(transaction.item);
    const HandleKey conversation = keyOf(transaction.conversation);
    ItemEntry& entry = itemTable[item];

    // A conversation holds at most one link on an item: DDEML passes a second
    // advise start on the same item (a hot link switched to warm, say), and
    // counting it would leave the item linked after the conversation's one
    // advise stop.
    auto links = conversationLinks.find(conversation);
    if (links != conversationLinks.end() && links->second.count(item) != 0 && entry.linkCount > 0) {
        return 1;
    }
    if (entry.linkCount == 0) {
        wchar_t name[kItemNameRoom] = {};
        if (ddeInstance().queryString(transaction.item, name, kItemNameRoom, CP_WINUNICODE) == 0) {
            logError(L"「" + topicName.str() + L"」アイテム名の取得に失敗。");
            return 0;
        }
        if (!ddeInstance().keepStringHandle(transaction.item)) {
            logError(L"「" + topicName.str() + L"」アイテムのリンクに失敗。");
            return 0;
        }
        entry.itemId = SharedText::fromWide(name);
        settleTicks = 0;
        ++linkedCount;
        logInfo(L"「" + topicName.str() + L"」アイテム「" + entry.itemId.str() + L"」のリンク。(" +
                std::to_wstring(linkedCount) + L")");
    }
    ++entry.linkCount;
    conversationLinks[conversation].insert(item);
    return 1;
}

int TopicGroup::adviseStop(const DdeTransaction& transaction) {
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
