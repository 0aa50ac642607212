#pragma once
// A wildcard connect: a client that names no service or no topic is offered
// a conversation on each service-and-topic pair of the bridge that fits the
// names it gave.
#include <windows.h>
#include <ddeml.h>

#include "dde/DdeTransaction.h"

namespace korven {

// The answer to XTYP_WILDCONNECT (topic in `topic`, service in `item`, either
// may be null): an array of HSZPAIR ended by a null pair, with the configured
// topics in TopicTable order and then System, each under service KORVEN.
// A given service must be KORVEN and a given topic must be the pair's topic.
// Null when no pair fits.
HDDEDATA wildConnectPairs(const DdeTransaction& transaction);

}  // namespace korven
