// Slow and hung calls: which of the server's calls wait, and how. A fault is
// set for a call name, either a method ("AddItems", "Advise", "Release") that
// holds for every call of that method, or a qualified name that holds for one
// of them only ("IOPCDataCallback.Advise", "Group.Release"); see
// kFaultCalls. The scenario's [faults] slow and hang keys set the first
// faults, the control commands slow, hang and unhang change them.
#pragma once

#include <windows.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace opcsim {

// Every call a fault can hold, by the qualified name the server's code
// passes when the call arrives: interface and method as the journal names
// them, the connection points by the interface they connect, and the final
// release of the server object and of a group object.
inline constexpr std::string_view kFaultCalls[] = {
    "IClassFactory.CreateInstance",
    "IOPCServer.AddGroup",
    "IOPCServer.GetErrorString",
    "IOPCServer.GetStatus",
    "IOPCServer.RemoveGroup",
    "IOPCItemMgt.AddItems",
    "IOPCItemMgt.RemoveItems",
    "IOPCGroupStateMgt.GetState",
    "IOPCGroupStateMgt.SetState",
    "IOPCSyncIO.Read",
    "IOPCAsyncIO.Refresh",
    "IOPCAsyncIO2.Refresh2",
    "IDataObject.DAdvise",
    "IDataObject.DUnadvise",
    "IOPCShutdown.Advise",
    "IOPCShutdown.Unadvise",
    "IOPCDataCallback.Advise",
    "IOPCDataCallback.Unadvise",
    "Server.Release",
    "Group.Release",
};

// The method part of a qualified call name ("IOPCItemMgt.AddItems" -> "AddItems").
std::string_view methodOf(std::string_view call);

// Whether a fault may name this: a qualified name of kFaultCalls or its method.
bool isFaultCallName(std::string_view name);

class CallFaults {
  public:
    // ms 0 ends the delay.
    void setSlow(std::string_view name, DWORD ms);
    void hang(std::string_view name) { hung_.emplace(name); }
    // Returns whether that name was hung.
    bool unhang(std::string_view name) { return hung_.erase(std::string(name)) > 0; }

    // The delay of a qualified call: its own, else its method's; 0 when none.
    DWORD slowFor(std::string_view call) const;
    // The name that holds the call hung (its own or its method), or none.
    std::optional<std::string> hungBy(std::string_view call) const;

  private:
    std::map<std::string, DWORD, std::less<>> slow_;
    std::set<std::string, std::less<>> hung_;
};

}  // namespace opcsim
