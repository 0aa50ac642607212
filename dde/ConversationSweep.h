#pragma once
// Links of DDE clients that ended without a disconnect. DDEML sends no
// XTYP_DISCONNECT for a partner whose process died, so its links would stay
// counted, and its items in the OPC group, for the life of the bridge.

namespace korven {

// Checks every conversation that holds links for a live partner window; a
// dead one is disconnected from every topic group, in key order, exactly as
// its XTYP_DISCONNECT would have done. Run once a second.
void sweepDeadConversations();

}  // namespace korven
