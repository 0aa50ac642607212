#pragma once
// The one wait of the bridge's threads that dispatches the thread's messages
// meanwhile: COM delivers calls into a single-threaded apartment as messages,
// and DDEML and the windows need theirs. Any thread, for its own messages.
#include <windows.h>

namespace korven {

// No deadline.
constexpr ULONGLONG kNoDeadline = ~0ULL;

// Waits until one of `handles` is signalled (its index) or `deadline` (tick
// count) has passed (-1), dispatching the calling thread's messages meanwhile.
// A thread's message loop ending (WM_QUIT) is posted again for the loop, and
// the wait then ends at once (-1 unless a handle is signalled). At most
// MAXIMUM_WAIT_OBJECTS - 1 handles.
int waitDispatching(const HANDLE* handles, DWORD count, ULONGLONG deadline);

// One handle: true when it was signalled.
inline bool waitDispatching(HANDLE handle, ULONGLONG deadline) {
    return waitDispatching(&handle, 1, deadline) == 0;
}

}  // namespace korven
