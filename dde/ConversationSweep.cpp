#include "dde/ConversationSweep.h"

#include "common/BridgeLock.h"
#include "dde/DdeInstance.h"
#include "dde/DdeTransaction.h"
#include "dde/LinkedConversations.h"
#include "opc/TopicGroup.h"
#include "opc/TopicTable.h"

namespace korven {
namespace {

bool holdsLinks(HandleKey conversation) {
    for (const auto& [topic, group] : topicTable()) {
        auto links = group->conversationLinks.find(conversation);
        if (links != group->conversationLinks.end() && !links->second.empty()) {
            return true;
        }
    }
    return false;
}

}  // namespace

void sweepDeadConversations() {
    BridgeLockHold hold;
    // A copy: every conversation dealt with is forgotten on the way.
    const LinkedConversations noted = linkedConversations();
    for (const auto& [key, conversation] : noted) {
        // One whose links were all stopped has nothing to lose: it is not
        // asked about, and is noted again at its next advise start.
        if (!holdsLinks(key)) {
            forgetLinkedConversation(conversation);
            continue;
        }
        if (ddeInstance().partnerAlive(conversation)) {
            continue;
        }
        DdeTransaction disconnect;
        disconnect.type = XTYP_DISCONNECT;
        disconnect.conversation = conversation;
        for (auto& [topic, group] : topicTable()) {
            group->disconnect(disconnect);
        }
        forgetLinkedConversation(conversation);
    }
}

}  // namespace korven
