#pragma once
// The System topic every DDE server conventionally offers: what a client can
// ask before it knows the server's topics. It serves requests, and advise
// links on TopicStates. Main thread only.
#include <windows.h>
#include <ddeml.h>

#include "dde/DdeTransaction.h"

namespace korven {

// True for the System topic's string handle (any letter case).
bool isSystemTopic(HSZ topic);

// A request on the System topic, in CF_TEXT or CF_UNICODETEXT; elements of a
// list are separated by tabs:
//   Topics         the configured topics in TopicTable order, then System
//   SysItems       the items below
//   TopicItemList  the same as SysItems
//   Formats        "TEXT\tUNICODETEXT"
//   Status         "Ready"
//   TopicStates    one line per configured topic in TopicTable order, lines
//                  separated by CR LF: the topic's name, a tab, and the state
//                  word of its server as the status page shows it while the
//                  server can be counted on, else "OFFLINE"
// Null (no data) for any other item or format.
HDDEDATA systemTopicData(const DdeTransaction& transaction);

// An advise start on the System topic: TopicStates in CF_TEXT only.
bool systemTopicAdvises(const DdeTransaction& transaction);

// At every tick: TopicStates' links are posted when its text has changed,
// and after a new link.
void postTopicStatesWhenChanged();
// Exit: gives back the item's string handle.
void forgetTopicStates();

}  // namespace korven
