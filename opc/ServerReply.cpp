#include "opc/ServerReply.h"

namespace korven {

namespace {

// Each request's completing reply, as it reads when the request failed.
struct FailureReply {
    HRESULT hr;
    ServerReply operator()(const request::Connect&) const { return reply::ConnectFailed{hr}; }
    ServerReply operator()(const request::SyncItems&) const { return reply::ItemsSynced{}; }
    ServerReply operator()(const request::ReadStatus&) const { return reply::Status{}; }
    ServerReply operator()(const request::SetState&) const { return reply::StateSet{}; }
    ServerReply operator()(const request::Refresh&) const { return reply::Refreshed{}; }
    ServerReply operator()(const request::Close&) const { return reply::Closed{}; }
};

}  // namespace

bool completesRequest(const ServerReply& reply) {
    return !std::holds_alternative<reply::Values>(reply) &&
           !std::holds_alternative<reply::ShutdownRequested>(reply) &&
           !std::holds_alternative<reply::Released>(reply) &&
           !std::holds_alternative<reply::Lost>(reply);
}

ServerReply failureReply(const ServerRequest& request, HRESULT hr) {
    return std::visit(FailureReply{hr}, request);
}

}  // namespace korven
