#pragma once
// Posting one item to its advise links (DdePostAdvise), with what Wine's
// DDEML gets wrong about the item's global atom made whole.
//
// Wine makes the item name's global atom once per post, with one reference,
// and sends it in the WM_DDE_DATA message of every link the post serves;
// each client deletes a reference when it reads its message. From the second
// link on, the name can be gone before a client reads it (the client drops
// the update) or, freed and made anew, name another item. Where the running
// DDEML is Wine's, the post gives each further link a reference of its own
// before the first message leaves, and gives back what the post did not hand
// out (links of other topics, which get no data; a post that reached no link
// at all leaves Wine's own reference behind). Windows' DDEML gives every
// message its own reference: nothing is done there.
//
// Wine's post also stops at the first link it cannot post to (a conversation
// whose client died without a disconnect: its window is gone, and from then
// on DDEML counts it as not connected) and returns FALSE without asking the
// links after it, of any topic: those are the older links on the name. Where
// the running DDEML is Wine's, such a post is made again at once for the
// links it did not reach: the link that failed (the last one answered with
// data) and the links already served get no data in it, so Wine passes over
// them.
//
// Main thread only: DDEML calls back on the thread that posts.
#include <windows.h>
#include <ddeml.h>

namespace korven {

// True when the running DDEML is Wine's (its ntdll names its version).
bool ddemlIsWine();

class AdvisePost {
  public:
    // Start-up: whether posts make the atom references whole and are made
    // again past a link DDEML failed on (Wine only).
    static void giveEachLinkItsAtom(bool on);
    static bool givesEachLinkItsAtom();

    // DDEML asks for the data of each link on the item inside the post.
    static BOOL post(HSZ topic, HSZ item);

    // One advise request of the post in progress. `remaining` is the
    // request's first data word: how many requests DDEML makes after it.
    class Request {
      public:
        Request(HCONV conversation, HSZ item, ULONG_PTR remaining);
        // False when this link is to get no data: a post made again has
        // served it already, or its conversation is the one DDEML failed on.
        bool wanted() const;
        // The data handed to DDEML for this link (null: no message leaves).
        void answered(HDDEDATA data);

      private:
        HCONV conversation_;
    };
};

}  // namespace korven
