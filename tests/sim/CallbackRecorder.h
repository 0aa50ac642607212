#pragma once
// The test's IOPCDataCallback: keeps a copy of every call the server makes,
// with whether the Advise that connected it had returned by then.
#include <windows.h>

#include <string>
#include <vector>

#include "ComGuards.h"
#include "OpcDa.h"

namespace simtest {

struct CallbackValue {
    OPCHANDLE hClient = 0;
    opcsim::VariantGuard value;
    WORD quality = 0;
    HRESULT error = S_OK;
};

struct CallbackCall {
    DWORD transaction = 0;
    OPCHANDLE hGroup = 0;
    HRESULT masterQuality = E_FAIL;
    HRESULT masterError = E_FAIL;
    bool afterAdvise = false;
    std::vector<CallbackValue> values;

    const CallbackValue* find(OPCHANDLE hClient) const {
        for (const CallbackValue& v : values) {
            if (v.hClient == hClient) {
                return &v;
            }
        }
        return nullptr;
    }
};

class CallbackRecorder : public IOPCDataCallback {
  public:
    std::vector<CallbackCall> calls;
    bool adviseReturned = false;  // set by the test once its Advise returned

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IOPCDataCallback) {
            *ppv = static_cast<IOPCDataCallback*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // Lives on the test's stack; COM's references are counted for the check
    // that the server let go of it.
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }

    STDMETHODIMP OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                              HRESULT hrMastererror, DWORD dwCount, OPCHANDLE* phClientItems,
                              VARIANT* pvValues, WORD* pwQualities, FILETIME*,
                              HRESULT* pErrors) override {
        CallbackCall call;
        call.transaction = dwTransid;
        call.hGroup = hGroup;
        call.masterQuality = hrMasterquality;
        call.masterError = hrMastererror;
        call.afterAdvise = adviseReturned;
        call.values.resize(dwCount);
        for (DWORD i = 0; i < dwCount; ++i) {
            call.values[i].hClient = phClientItems[i];
            VariantCopy(call.values[i].value.get(), &pvValues[i]);
            call.values[i].quality = pwQualities[i];
            call.values[i].error = pErrors[i];
        }
        calls.push_back(std::move(call));
        return S_OK;
    }
    STDMETHODIMP OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*,
                                WORD*, FILETIME*, HRESULT*) override {
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override {
        return S_OK;
    }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

    LONG refs = 0;
};

}  // namespace simtest
