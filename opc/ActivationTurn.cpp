#include "opc/ActivationTurn.h"

#include <condition_variable>
#include <mutex>
#include <set>

namespace korven {
namespace {

std::mutex gLock;
std::condition_variable gTurnEnded;
std::set<std::wstring> gTaken;  // the keys whose activation is out

std::wstring keyOf(REFCLSID clsid, const std::wstring& node) {
    wchar_t text[64] = {};
    StringFromGUID2(clsid, text, 64);
    std::wstring key = node;
    CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
    return key + L"|" + text;
}

}  // namespace

ActivationTurn::ActivationTurn(REFCLSID clsid, const std::wstring& node)
    : key_(keyOf(clsid, node)) {
    std::unique_lock<std::mutex> hold(gLock);
    gTurnEnded.wait(hold, [this] { return gTaken.count(key_) == 0; });
    gTaken.insert(key_);
}

ActivationTurn::~ActivationTurn() {
    {
        std::lock_guard<std::mutex> hold(gLock);
        gTaken.erase(key_);
    }
    gTurnEnded.notify_all();
}

}  // namespace korven
