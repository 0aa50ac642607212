#pragma once
// The group's shutdown callback: the server announces that it is going down.
#include <windows.h>

#include "OpcDa.h"
#include "common/SharedText.h"

namespace korven {

class TopicGroup;

class ShutdownSink : public IOPCShutdown {
  public:
    explicit ShutdownSink(TopicGroup* group) : group_(group) {}

    // The group is going away: a later request from the server finds nothing.
    void detach() { group_ = nullptr; }
    const SharedText& reason() const { return reason_; }

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP ShutdownRequest(LPCWSTR reason) override;

  private:
    virtual ~ShutdownSink() = default;

    LONG refCount_ = 0;
    TopicGroup* group_;
    SharedText reason_;
};

}  // namespace korven
