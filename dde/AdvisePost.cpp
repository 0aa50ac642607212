#include "dde/AdvisePost.h"

#include <set>

#include "common/HandleKey.h"
#include "dde/DdeInstance.h"

namespace korven {
namespace {

constexpr int kAtomNameRoom = 256;

// The post in progress and what it has done to the item's global atom.
struct PostState {
    bool active = false;
    HandleKey item = 0;
    bool counted = false;   // the first request has been seen
    ATOM atom = 0;          // the item's global atom, as the post made it
    size_t references = 1;  // Wine's own, then one per further link
    size_t messages = 0;    // requests answered with data: messages sent
};

// One item's post over its attempts: a post Wine ended at a link it could
// not post to is made again for the links it did not reach.
struct Round {
    std::set<HCONV> served;        // handed data, their messages sent
    std::set<HCONV> refused;       // DDEML failed to post to them
    HCONV lastAnswered = nullptr;  // of the attempt in progress
};

bool gShareAtoms = false;
PostState gPost;
Round gRound;

// The item's name: its string handle is an atom of this process.
bool itemName(HandleKey item, wchar_t (&name)[kAtomNameRoom]) {
    return GetAtomNameW(static_cast<ATOM>(item), name, kAtomNameRoom) != 0;
}

// One DdePostAdvise, with the item's atom references made whole.
BOOL postOnce(HSZ topic, HSZ item) {
    gPost = PostState{};
    gPost.active = true;
    gPost.item = keyOf(item);
    const BOOL posted = ddeInstance().postAdvise(topic, item);
    const PostState done = gPost;
    gPost = PostState{};

    if (!done.counted) {
        // No link was asked: a post that returns TRUE made the atom all the
        // same and left its reference behind.
        wchar_t name[kAtomNameRoom] = {};
        if (posted && itemName(done.item, name)) {
            if (ATOM atom = GlobalFindAtomW(name)) {
                GlobalDeleteAtom(atom);
            }
        }
        return posted;
    }
    // Every message takes one reference with it (for the link a failed post
    // ended at, Wine deletes one in its place); the rest are given back.
    for (size_t left = done.references; left > done.messages; --left) {
        GlobalDeleteAtom(done.atom);
    }
    return posted;
}

}  // namespace

bool ddemlIsWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

void AdvisePost::giveEachLinkItsAtom(bool on) {
    gShareAtoms = on;
}

bool AdvisePost::givesEachLinkItsAtom() {
    return gShareAtoms;
}

BOOL AdvisePost::post(HSZ topic, HSZ item) {
    if (!gShareAtoms) {
        return ddeInstance().postAdvise(topic, item);
    }
    gRound = Round{};
    BOOL posted = FALSE;
    try {
        while (true) {
            gRound.lastAnswered = nullptr;
            posted = postOnce(topic, item);
            // A FALSE after a link was handed data: DDEML failed on that link
            // and asked none after it. Each attempt refuses one more
            // conversation, so the attempts end.
            HCONV failed = gRound.lastAnswered;
            if (posted || failed == nullptr || !gRound.refused.insert(failed).second) {
                break;
            }
            gRound.served.erase(failed);
        }
    } catch (...) {
        // Out of memory for the round's sets: the links not reached wait for
        // the item's next post.
    }
    gRound = Round{};
    return posted;
}

AdvisePost::Request::Request(HCONV conversation, HSZ item, ULONG_PTR remaining)
    : conversation_(conversation) {
    if (!gPost.active || gPost.counted || keyOf(item) != gPost.item) {
        return;
    }
    gPost.counted = true;
    wchar_t name[kAtomNameRoom] = {};
    if (!itemName(gPost.item, name)) {
        return;
    }
    // Before any message leaves: one more reference for each link after this
    // one, of the atom the post has made (the same name finds the same atom).
    const size_t further = LOWORD(remaining);
    for (size_t i = 0; i < further; ++i) {
        const ATOM atom = GlobalAddAtomW(name);
        if (atom == 0) {
            break;
        }
        gPost.atom = atom;
        ++gPost.references;
    }
    if (gPost.atom == 0) {
        gPost.atom = GlobalFindAtomW(name);
    }
}

bool AdvisePost::Request::wanted() const {
    if (!gPost.active) {
        return true;
    }
    return gRound.served.count(conversation_) == 0 && gRound.refused.count(conversation_) == 0;
}

void AdvisePost::Request::answered(HDDEDATA data) {
    if (!gPost.active || data == nullptr) {
        return;
    }
    ++gPost.messages;
    gRound.lastAnswered = conversation_;
    try {
        gRound.served.insert(conversation_);
    } catch (...) {
        // Not remembered: a post made again would send this link its value twice.
    }
}

}  // namespace korven
