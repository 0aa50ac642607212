#pragma once
// Main thread only, as DDEML.
// The conversations an advise start was accepted on, with their whole
// handles. A conversation handle is a pointer on 64-bit Windows and the link
// tables keep only its 32-bit value, which DDEML cannot be asked about.
#include <windows.h>
#include <ddeml.h>

#include <map>

#include "common/HandleKey.h"

namespace korven {

using LinkedConversations = std::map<HandleKey, HCONV>;

LinkedConversations& linkedConversations();

// An advise start was accepted on the conversation.
void noteLinkedConversation(HCONV conversation);
// The conversation ended (its disconnect came, or its partner was found gone).
void forgetLinkedConversation(HCONV conversation);

}  // namespace korven
