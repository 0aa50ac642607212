#include "dde/DdeCallback.h"

#include "dde/AdvisePost.h"
#include "dde/DdeInstance.h"
#include "dde/DdeTransaction.h"
#include "dde/LinkedConversations.h"
#include "dde/SystemTopic.h"
#include "dde/WildConnect.h"
#include "opc/TopicGroup.h"
#include "opc/TopicTable.h"

namespace korven {

namespace {

HDDEDATA dispatch(const DdeTransaction& transaction) {
    const HSZ topic = transaction.topic;
    switch (transaction.type) {
        case XTYP_CONNECT: {
            const bool served = findTopicGroup(topic) != nullptr || isSystemTopic(topic);
            return reinterpret_cast<HDDEDATA>(served ? 1 : 0);
        }
        case XTYP_WILDCONNECT:
            return wildConnectPairs(transaction);
        case XTYP_ADVSTART: {
            if (transaction.format != CF_TEXT) {
                return nullptr;
            }
            if (isSystemTopic(topic)) {
                return reinterpret_cast<HDDEDATA>(systemTopicAdvises(transaction) ? 1 : 0);
            }
            TopicGroup* group = findTopicGroup(topic);
            if (group == nullptr) {
                return nullptr;
            }
            const int linked = group->adviseStart(transaction);
            if (linked != 0) {
                // Kept whole, for the check of its partner (ConversationSweep).
                noteLinkedConversation(transaction.conversation);
            }
            return reinterpret_cast<HDDEDATA>(static_cast<INT_PTR>(linked));
        }
        case XTYP_ADVREQ: {
            // Wine's DdePostAdvise asks for every link on the item's name, in
            // every topic, naming the posting topic: a link of another topic
            // gets nothing here, its own topic posts its own value. Nor does
            // a link the topic no longer holds (its client found dead), which
            // DDEML could not post to.
            AdvisePost::Request request(transaction.conversation, transaction.item,
                                        transaction.data1);
            HDDEDATA data = nullptr;
            if (request.wanted() &&
                keyOf(ddeInstance().conversationTopic(transaction.conversation)) == keyOf(topic)) {
                if (TopicGroup* group = findTopicGroup(topic)) {
                    if (group->holdsLink(transaction.conversation, transaction.item)) {
                        data = group->adviseData(transaction);
                    }
                } else if (isSystemTopic(topic)) {
                    data = systemTopicData(transaction);
                }
            }
            request.answered(data);
            return data;
        }
        case XTYP_REQUEST: {
            // Answered from the conversation's own topic, in the format asked
            // for, CF_TEXT or CF_UNICODETEXT; any other gets no data, so the
            // client tries its next format.
            HSZ own = ddeInstance().conversationTopic(transaction.conversation);
            if (own == nullptr) {
                own = topic;
            }
            if (isSystemTopic(own)) {
                return systemTopicData(transaction);
            }
            TopicGroup* group = findTopicGroup(own);
            return group ? group->requestData(transaction) : nullptr;
        }
        case XTYP_ADVSTOP: {
            if (isSystemTopic(topic)) {
                return reinterpret_cast<HDDEDATA>(1);
            }
            TopicGroup* group = findTopicGroup(topic);
            if (group == nullptr) {
                return nullptr;
            }
            return reinterpret_cast<HDDEDATA>(static_cast<INT_PTR>(group->adviseStop(transaction)));
        }
        case XTYP_DISCONNECT:
            // Offered to every group, in key order: the conversation may have
            // linked items on any of them.
            for (auto& [key, group] : topicTable()) {
                group->disconnect(transaction);
            }
            forgetLinkedConversation(transaction.conversation);
            return reinterpret_cast<HDDEDATA>(1);
        default:
            // Poke, execute and notices: not served.
            return nullptr;
    }
}

}  // namespace

HDDEDATA CALLBACK ddeCallback(UINT type, UINT format, HCONV conversation, HSZ topic, HSZ item,
                              HDDEDATA data, ULONG_PTR data1, ULONG_PTR data2) {
    // Nothing may unwind into DDEML: a failure (memory, say) answers "no".
    try {
        return dispatch({type, format, conversation, topic, item, data, data1, data2});
    } catch (...) {
        return nullptr;
    }
}

}  // namespace korven
