#pragma once
// The check that an object is used on the one thread it belongs to, in the
// manner of a sequence checker: it belongs to the thread that made it. In
// builds that check (debug builds, and the tests' build of the bridge, which
// defines KORVEN_THREAD_CHECKS) a use from another thread stops the process
// with a line on standard error that names the object; in release builds the
// check is nothing at all.
#include <windows.h>

#if defined(KORVEN_THREAD_CHECKS) || !defined(NDEBUG)
#define KORVEN_CHECKS_THREADS 1
#else
#define KORVEN_CHECKS_THREADS 0
#endif

namespace korven {

// Writes "KORVEN: <what> used on thread <n>, belongs to thread <m>" and ends
// the process (exit code 3).
[[noreturn]] void failThreadCheck(const char* what, DWORD owner);

// Stops the process when called off the main thread: the one that runs the
// message loop, DDEML, the windows and every topic's main-thread object (in
// checking builds; the first caller's thread).
void checkMainThread(const char* what);

class ThreadAffinity {
  public:
#if KORVEN_CHECKS_THREADS
    ThreadAffinity() : owner_(GetCurrentThreadId()) {}
    void check(const char* what) const {
        if (GetCurrentThreadId() != owner_) {
            failThreadCheck(what, owner_);
        }
    }

  private:
    DWORD owner_;
#else
    void check(const char*) const {}
#endif
};

}  // namespace korven
