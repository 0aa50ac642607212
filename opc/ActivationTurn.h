#pragma once
// One activation of a server class at a time, on each computer. Topics start
// their connections at once, each on its own server thread; where several
// name the same class, Wine's COM starts a server process for each request
// that finds the class not yet registered, and the topics end up on different
// processes of what is meant to be one server. Windows' service control
// manager starts one process and has the others wait for it; the turn does the
// same for every platform. Any thread; the turns are guarded by one lock.
#include <windows.h>

#include <string>

namespace korven {

class ActivationTurn {
  public:
    // Waits until no other thread activates `clsid` on `node` (empty: this
    // computer), then holds the turn for its scope.
    ActivationTurn(REFCLSID clsid, const std::wstring& node);
    ~ActivationTurn();
    ActivationTurn(const ActivationTurn&) = delete;
    ActivationTurn& operator=(const ActivationTurn&) = delete;

  private:
    std::wstring key_;
};

}  // namespace korven
