#include "dde/LinkedConversations.h"

namespace korven {
namespace {

LinkedConversations gLinkedConversations;

}  // namespace

LinkedConversations& linkedConversations() {
    return gLinkedConversations;
}

void noteLinkedConversation(HCONV conversation) {
    gLinkedConversations[keyOf(conversation)] = conversation;
}

void forgetLinkedConversation(HCONV conversation) {
    gLinkedConversations.erase(keyOf(conversation));
}

}  // namespace korven
