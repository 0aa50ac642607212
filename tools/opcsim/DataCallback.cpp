#include "DataCallback.h"

#include <cstdio>
#include <string>

#include "ComGuards.h"
#include "ValueText.h"

namespace opcsim {

HRESULT masterQualityOf(const std::vector<CallbackItem>& items) {
    for (const CallbackItem& item : items) {
        if ((item.quality & 0xC0) != 0xC0) {
            return S_FALSE;
        }
    }
    return S_OK;
}

HRESULT masterErrorOf(const std::vector<CallbackItem>& items) {
    for (const CallbackItem& item : items) {
        if (item.error != S_OK) {
            return S_FALSE;
        }
    }
    return S_OK;
}

HRESULT sendDataChange(IOPCDataCallback* sink, DWORD transactionId, OPCHANDLE hGroup,
                       const std::vector<CallbackItem>& items, Journal& journal) {
    // Never null, also for no item: the proxy refuses null [in] arrays.
    const size_t count = items.size();
    std::vector<OPCHANDLE> handles(count ? count : 1);
    VariantArray values(count);
    std::vector<WORD> qualities(count ? count : 1);
    std::vector<FILETIME> stamps(count ? count : 1);
    std::vector<HRESULT> errors(count ? count : 1);
    std::vector<std::string> rendered;
    for (size_t i = 0; i < count; ++i) {
        const CallbackItem& item = items[i];
        handles[i] = item.hClient;
        if (item.value) {
            VariantCopy(&values[i], const_cast<VARIANT*>(item.value));
        }
        qualities[i] = item.quality;
        stamps[i] = item.stamp;
        errors[i] = item.error;
        char tail[32];
        std::snprintf(tail, sizeof tail, ":0x%04X:", static_cast<unsigned>(item.quality));
        rendered.push_back(std::to_string(item.hClient) + ":" + formatValue(values[i]) + tail +
                           hex32(static_cast<uint32_t>(item.error)));
    }
    const HRESULT quality = masterQualityOf(items);
    const HRESULT error = masterErrorOf(items);
    sink->AddRef();
    const HRESULT hr = sink->OnDataChange(transactionId, hGroup, quality, error,
                                          static_cast<DWORD>(count), handles.data(), values.data(),
                                          qualities.data(), stamps.data(), errors.data());
    sink->Release();
    journal.write(JournalLine("Send.IOPCDataCallback.OnDataChange")
                      .arg("transaction", transactionId)
                      .arg("hGroup", hGroup)
                      .code("masterQuality", quality)
                      .code("masterError", error)
                      .list("items", rendered)
                      .result(hr));
    return hr;
}

}  // namespace opcsim
