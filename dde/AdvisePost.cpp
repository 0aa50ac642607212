#include "dde/AdvisePost.h"

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

bool gShareAtoms = false;
PostState gPost;

// The item's name: its string handle is an atom of this process.
bool itemName(HandleKey item, wchar_t (&name)[kAtomNameRoom]) {
    return GetAtomNameW(static_cast<ATOM>(item), name, kAtomNameRoom) != 0;
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
    // Every message takes one reference with it (a failed last post had Wine
    // delete one in its place); the rest are given back.
    for (size_t left = done.references; left > done.messages; --left) {
        GlobalDeleteAtom(done.atom);
    }
    return posted;
}

AdvisePost::Request::Request(HSZ item, ULONG_PTR remaining) {
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

void AdvisePost::Request::answered(HDDEDATA data) {
    if (gPost.active && data != nullptr) {
        ++gPost.messages;
    }
}

}  // namespace korven
