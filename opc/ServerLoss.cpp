// A server that died or cut the connection: every call on it then fails with
// one of the codes for an unreachable or disconnected object. Everything is
// released at once, without a call that would wait on it, and the topic is
// then treated as after a shutdown request.
#include "opc/ServerSession.h"

namespace korven {
namespace {

constexpr HRESULT kServerUnavailable =
    static_cast<HRESULT>(0x800706BA);                                 // RPC_S_SERVER_UNAVAILABLE
constexpr HRESULT kCallFailed = static_cast<HRESULT>(0x800706BE);     // RPC_S_CALL_FAILED
constexpr HRESULT kCallFailedDne = static_cast<HRESULT>(0x800706BF);  // RPC_S_CALL_FAILED_DNE

bool isServerGone(HRESULT hr) {
    return hr == kServerUnavailable || hr == kCallFailed || hr == kCallFailedDne ||
           hr == RPC_E_DISCONNECTED || hr == RPC_E_SERVER_DIED || hr == RPC_E_SERVER_DIED_DNE ||
           hr == CO_E_OBJNOTCONNECTED;
}

}  // namespace

bool ServerSession::noteServerLoss(HRESULT hr) {
    if (!isServerGone(hr) || serverLost_ || server == nullptr) {
        return false;
    }
    loseServer(hr);
    return true;
}

void ServerSession::loseServer(HRESULT hr) {
    serverLost_ = true;
    releasePending_ = false;
    releaseAll();
    channel_->reply(reply::Lost{hr});
}

}  // namespace korven
