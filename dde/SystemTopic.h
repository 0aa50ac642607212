#pragma once
// The System topic every DDE server conventionally offers: what a client can
// ask before it knows the server's topics. It serves requests only.
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
// Null (no data) for any other item or format.
HDDEDATA systemTopicData(const DdeTransaction& transaction);

}  // namespace korven
