#pragma once
// Wine's DDEML server answers a request with WM_DDE_DATA and then posts a
// WM_DDE_ACK as well. When that acknowledgement is still queued as the client's
// next synchronous transaction starts, Wine's client takes it as the answer: the
// transaction fails with DMLERR_NOTPROCESSED, and its real answer is later taken
// as the answer to the transaction after it. After a request that got data, the
// client therefore consumes that acknowledgement before going on (only under
// Wine; Windows sends none).
#include <windows.h>
#include <ddeml.h>

namespace ddetool {

// True when the process runs under Wine.
bool runningUnderWine();

// Waits up to timeoutMs for the server's trailing WM_DDE_ACK on the
// conversation and lets DDEML dispatch it (nothing outside Wine).
void consumeTrailingRequestAck(HCONV conversation, DWORD timeoutMs);

}  // namespace ddetool
