// The running simulation: the scenario, the simulated device (current item
// values), the journal, the control folder, the server's hidden window with
// its timers, and the count of live objects that keeps the process alive.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "CallFaults.h"
#include "ComGuards.h"
#include "Journal.h"
#include "Scenario.h"

namespace opcsim {

class OpcServer;

struct DeviceItem {
    const ItemSpec* spec = nullptr;
    VariantGuard value;
    WORD quality = 0;
    WORD reserved = 0;
    HRESULT error = S_OK;  // a failure: sent without a value, of bad quality
    ItemBehaviour behaviour;
    unsigned long long version = 1;  // raised at every change of value, quality or error
    FILETIME stamp{};                // when it last changed

    void changed() {
        ++version;
        GetSystemTimeAsFileTime(&stamp);
    }
};

class Simulation {
  public:
    static Simulation& get();

    // Reads the scenario of `folder` (or the default set) and opens the
    // journal there; an empty folder runs the default set without journal or
    // control channel. Returns an error text or empty.
    std::string load(const std::wstring& folder);
    // Creates the hidden window that carries the timers and posted sends.
    bool createWindow(HINSTANCE instance, bool embedded);

    const Scenario& scenario() const { return scenario_; }
    Journal& journal() { return journal_; }
    DeviceItem* find(const std::wstring& id);
    UINT streamFormat() const { return streamFormat_; }
    FILETIME startTime() const { return startTime_; }
    FILETIME lastUpdateTime() const { return lastUpdate_; }
    void noteUpdate() { GetSystemTimeAsFileTime(&lastUpdate_); }

    // Called by every call that a fault can hold (CallFaults.h), by its
    // qualified name, before the call's work: a shutdown-during trigger armed
    // for it first sends its requests, then a slow fault sleeps, then a hang
    // waits until the call is unhung or the process ends. The hang runs the
    // message loop meanwhile, so the control channel, the timers and COM's
    // calls into the server go on; hangs inside one another end innermost
    // first. The caller must hold a reference on the object it works on.
    void arrive(std::string_view call);

    // Live COM objects of the process; the last release ends it.
    void objectCreated() {
        ++objects_;
        everHadObject_ = true;
    }
    void objectDestroyed();
    // Ends the process when no object lives (a creation that failed).
    void exitIfIdle() {
        if (objects_ == 0) {
            requestExit("creation failed");
        }
    }

    // Servers known to the control channel's shutdown command.
    void addServer(OpcServer* server) { servers_.insert(server); }
    void removeServer(OpcServer* server) { servers_.erase(server); }

    // Timers and posted work, keyed by a number of the caller's choice
    // (group serials). Posted work runs from the message loop, after the
    // current call has returned.
    void setTimer(UINT_PTR id, DWORD ms, std::function<void()> onTick);
    void killTimer(UINT_PTR id);
    void post(std::function<void()> work);

    void requestExit(const char* why);
    // The process is ending (exit command or last release): nothing hangs.
    bool ending() const { return stopping_ || exiting_; }
    // The class object is registered: the wait for a first client starts.
    void classRegistered() {
        registered_ = true;
        started_ = GetTickCount64();
    }

  private:
    Simulation() = default;
    static LRESULT CALLBACK windowProc(HWND, UINT, WPARAM, LPARAM);
    // A shutdown-during trigger armed for the call sends ShutdownRequest to
    // every advised client, once.
    void shutdownIfArmed(std::string_view call);
    void hangWhileAsked(std::string_view call);
    void pollControl();
    void runCommand(const std::string& line);
    void runFaultCommand(const std::string& verb, const std::string& rest, JournalLine& entry);
    // ShutdownRequest(reason) to every advised client of every server;
    // returns how many were sent.
    int sendShutdown(const std::wstring& reason);

    Scenario scenario_;
    std::map<std::wstring, DeviceItem> device_;
    Journal journal_;
    std::wstring folder_;
    HWND window_ = nullptr;
    UINT streamFormat_ = 0;
    FILETIME startTime_{};
    FILETIME lastUpdate_{};
    long objects_ = 0;
    bool everHadObject_ = false;
    bool embedded_ = false;
    bool exiting_ = false;
    bool stopping_ = false;
    bool registered_ = false;
    int hanging_ = 0;  // hangs in progress (the idle limit waits for them)
    ULONGLONG started_ = GetTickCount64();
    CallFaults callFaults_;
    std::set<OpcServer*> servers_;
    // Armed shutdown-during triggers: call name → reason.
    std::map<std::string, std::wstring, std::less<>> shutdownDuring_;
    std::map<UINT_PTR, std::function<void()>> timers_;
    std::map<unsigned long, std::function<void()>> posted_;
    unsigned long nextPost_ = 1;
};

}  // namespace opcsim
