#pragma once
// The simulation server's folder for one test: scenario, journal and control
// commands. COM starts the server; it finds the folder through the registry
// value of its class, which the test sets before it creates the server.
#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "MessagePump.h"

namespace simtest {

inline constexpr wchar_t kFirstClassKey[] = L"Software\\Korven\\OpcSim";
inline constexpr wchar_t kSecondClassKey[] = L"Software\\Korven\\OpcSim2";

class SimFolder {
  public:
    SimFolder(const std::string& scenario, const wchar_t* classKey = kFirstClassKey);
    // Ends a server still running from this folder (the exit command), waits
    // for its process to end and removes the folder.
    ~SimFolder();
    SimFolder(const SimFolder&) = delete;
    SimFolder& operator=(const SimFolder&) = delete;

    std::vector<std::string> journal() const;
    // The journal lines of one call or event, e.g. "IOPCItemMgt.AddItems".
    std::vector<std::string> calls(std::string_view name) const;
    // Waits (pumping) for count lines of that name; returns the last one, or
    // fails the test and returns "".
    std::string waitCall(std::string_view name, size_t count = 1,
                         DWORD timeoutMs = kTimeoutMs) const;
    // Runs a control command and waits until the server has journaled it;
    // returns its journal line.
    std::string command(const std::string& line);
    // The Windows process id the server's start line names (0: not started).
    DWORD serverPid() const;
    // Waits for the server's process to end.
    bool waitGone(DWORD timeoutMs = kTimeoutMs) const;

  private:
    std::wstring dir_;
    int commands_ = 0;
};

// A journal line without its sequence number and time: "Call ... -> 0x...".
std::string body(const std::string& line);
// The milliseconds field of a journal line.
unsigned long long lineMs(const std::string& line);
// The index of the first journal line that contains text, from `from` on;
// -1 when none.
int findLine(const std::vector<std::string>& journal, std::string_view text, int from = 0);

}  // namespace simtest
