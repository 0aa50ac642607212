#pragma once
// One call made from a thread of its own (in the multithreaded apartment),
// so that the test's thread stays free to pump, send commands and make other
// calls while this one waits in the server.
#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <functional>
#include <thread>

namespace simtest {

class WorkerCall {
  public:
    // Hands the worker its own proxy of object (as iid); the worker makes
    // call on it, then releases it.
    WorkerCall(IUnknown* object, REFIID iid, std::function<HRESULT(IUnknown*)> call) {
        IStream* stream = nullptr;
        CoMarshalInterThreadInterfaceInStream(iid, object, &stream);
        thread_ = std::thread([this, stream, iid, call = std::move(call)] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            IUnknown* proxy = nullptr;
            HRESULT hr =
                CoGetInterfaceAndReleaseStream(stream, iid, reinterpret_cast<void**>(&proxy));
            if (SUCCEEDED(hr)) {
                hr = call(proxy);
                proxy->Release();
            }
            result_ = hr;
            finished_ = true;
            CoUninitialize();
        });
    }
    ~WorkerCall() { thread_.join(); }
    WorkerCall(const WorkerCall&) = delete;
    WorkerCall& operator=(const WorkerCall&) = delete;

    bool finished() const { return finished_; }
    HRESULT result() const { return result_; }

  private:
    std::atomic<bool> finished_{false};
    std::atomic<HRESULT> result_{E_PENDING};
    std::thread thread_;
};

}  // namespace simtest
