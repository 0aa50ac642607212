#pragma once
// Wine's DDEML client ends the wait of a synchronous transaction at the first
// DDE message that reaches the conversation's window, whatever it is. An
// update of another advise loop of the same conversation arriving meanwhile
// is handed on as an update, and the transaction fails at once with
// DMLERR_NOTPROCESSED although the server goes on to act on it: an advise
// start is then linked at the server but not in DDEML, whose updates for it
// are dropped. The server's acknowledgement comes later, when no transaction
// waits for it any more, or ends the wait of the next transaction, which then
// succeeds whatever its own answer (an advise start without a link, again).
//
// While a transaction of the tool waits, updates of the conversation's advise
// loops are therefore held back (only under Wine): a WH_GETMESSAGE hook takes
// them out of DDEML's wait loop, and they are dispatched, in the order they
// came, once the transaction has its answer. A request's own answer, also a
// WM_DDE_DATA, is marked as a response and passes.
#include <windows.h>
#include <ddeml.h>

#include <vector>

namespace ddetool {

class UpdateHold {
  public:
    // Holds the updates of `conversation` from now on (nothing outside Wine).
    explicit UpdateHold(HCONV conversation);
    // Stops holding, then dispatches what was held.
    ~UpdateHold();
    UpdateHold(const UpdateHold&) = delete;
    UpdateHold& operator=(const UpdateHold&) = delete;

  private:
    static LRESULT CALLBACK onGetMessage(int code, WPARAM removal, LPARAM message);

    HHOOK hook_ = nullptr;
    HWND window_ = nullptr;  // DDEML's window of the conversation, client side
    std::vector<MSG> held_;
};

}  // namespace ddetool
