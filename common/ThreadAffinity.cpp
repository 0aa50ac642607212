#include "common/ThreadAffinity.h"

#include <string>

namespace korven {

void failThreadCheck(const char* what, DWORD owner) {
    // Written at once, past the log's queue: the process ends now.
    const std::string line = std::string("KORVEN: ") + what + " used on thread " +
                             std::to_string(GetCurrentThreadId()) + ", belongs to thread " +
                             std::to_string(owner) + "\r\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()),
              &written, nullptr);
    ExitProcess(3);
}

void checkMainThread(const char* what) {
#if KORVEN_CHECKS_THREADS
    static const ThreadAffinity mainThread;
    mainThread.check(what);
#else
    (void)what;
#endif
}

}  // namespace korven
