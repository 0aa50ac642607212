#pragma once
// The test's IAdviseSink for the 1.0 data-change stream: keeps every block
// and reads an item's header and value type from one.
#include <windows.h>
#include <objidl.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "ComGuards.h"

namespace simtest {

struct StreamEntry {
    DWORD hClient = 0;
    WORD quality = 0;
    VARTYPE vt = VT_ILLEGAL;
};

// The entries of a block (header, item headers, each record's type word), or
// none when the block does not hold together.
inline std::optional<std::vector<StreamEntry>> streamEntries(const std::vector<uint8_t>& block) {
    auto read = [&](size_t at, size_t size, void* out) {
        if (at + size > block.size()) {
            return false;
        }
        std::memcpy(out, block.data() + at, size);
        return true;
    };
    DWORD count = 0;
    if (!read(4, 4, &count) || count > block.size() / 12) {
        return std::nullopt;
    }
    std::vector<StreamEntry> entries(count);
    for (DWORD k = 0; k < count; ++k) {
        DWORD offset = 0;
        const size_t header = 20 + 12 * k;
        if (!read(header, 4, &entries[k].hClient) || !read(header + 4, 4, &offset) ||
            !read(header + 8, 2, &entries[k].quality) || !read(offset, 2, &entries[k].vt)) {
            return std::nullopt;
        }
    }
    return entries;
}

class StreamRecorder : public IAdviseSink {
  public:
    std::vector<std::vector<uint8_t>> blocks;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IAdviseSink) {
            *ppv = static_cast<IAdviseSink*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // lives on the test's stack
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP_(void) OnDataChange(FORMATETC*, STGMEDIUM* medium) override {
        if (!medium || medium->tymed != TYMED_HGLOBAL) {
            return;
        }
        opcsim::GlobalLockGuard lock(medium->hGlobal);
        if (lock.get()) {
            const auto* bytes = static_cast<const uint8_t*>(lock.get());
            blocks.emplace_back(bytes, bytes + GlobalSize(medium->hGlobal));
        }
    }
    STDMETHODIMP_(void) OnViewChange(DWORD, LONG) override {}
    STDMETHODIMP_(void) OnRename(IMoniker*) override {}
    STDMETHODIMP_(void) OnSave() override {}
    STDMETHODIMP_(void) OnClose() override {}
};

}  // namespace simtest
