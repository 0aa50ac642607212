#include "items/DataChangeSink.h"

#include <comdef.h>

#include <cstdio>
#include <string>

#include "common/BridgeLock.h"
#include "common/ConsoleLog.h"
#include "common/TextConversion.h"
#include "items/DataChangeStream.h"
#include "items/StreamValue.h"
#include "opc/TopicGroup.h"

namespace korven {
namespace {

// Holds a global memory block locked for a scope.
class GlobalLockHold {
  public:
    explicit GlobalLockHold(HGLOBAL memory)
        : memory_(memory), data_(static_cast<const std::uint8_t*>(GlobalLock(memory))) {}
    ~GlobalLockHold() {
        if (data_ != nullptr) {
            GlobalUnlock(memory_);
        }
    }
    GlobalLockHold(const GlobalLockHold&) = delete;
    GlobalLockHold& operator=(const GlobalLockHold&) = delete;

    const std::uint8_t* data() const { return data_; }
    size_t size() const { return data_ ? GlobalSize(memory_) : 0; }

  private:
    HGLOBAL memory_;
    const std::uint8_t* data_;
};

// The text that stands in for a value of a type the bridge does not copy.
BSTR typeErrorText(WORD type) {
    char text[32] = {};
    std::snprintf(text, sizeof text, "#ERR:TYPE(VT=%d)", static_cast<int>(type));
    return narrowToWide(text);
}

void storeValue(ItemEntry& entry, const StreamItem& item) {
    VARIANT local;
    VariantInit(&local);
    if (plainValueFromRecord(item.record, local)) {
        // Plain values only: nothing to clear in the local copy.
    } else if (item.type == VT_BSTR) {
        V_VT(&local) = VT_BSTR;
        static_assert(sizeof(OLECHAR) == sizeof(char16_t), "a BSTR holds UTF-16 units");
        V_BSTR(&local) = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(item.text.data()),
                                           static_cast<UINT>(item.text.size()));
        if (V_BSTR(&local) == nullptr) {
            throw _com_error(E_OUTOFMEMORY);
        }
    } else {
        // Made first, stored last: a failure leaves the old value whole.
        BSTR text = typeErrorText(item.type);
        if (text == nullptr) {
            throw _com_error(E_OUTOFMEMORY);
        }
        VariantClear(&entry.value);
        V_VT(&entry.value) = VT_BSTR;
        V_BSTR(&entry.value) = text;
        return;
    }
    const HRESULT hr = VariantCopy(&entry.value, &local);
    VariantClear(&local);
    if (FAILED(hr)) {
        throw _com_error(hr);
    }
}

}  // namespace

DataChangeSink::DataChangeSink(TopicGroup* group)
    : group_(group), streamFormat_(RegisterClipboardFormatA("OPCSTMFORMATDATA")) {}

STDMETHODIMP DataChangeSink::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) {
        return E_INVALIDARG;
    }
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IAdviseSink)) {
        *object = static_cast<IAdviseSink*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) DataChangeSink::AddRef() {
    return static_cast<ULONG>(++refCount_);
}

STDMETHODIMP_(ULONG) DataChangeSink::Release() {
    const LONG count = --refCount_;
    if (count == 0) {
        delete this;
    }
    return static_cast<ULONG>(count);
}

STDMETHODIMP_(void) DataChangeSink::OnDataChange(FORMATETC* format, STGMEDIUM* medium) {
    if (format == nullptr || medium == nullptr) {
        return;
    }
    // The medium says itself what it carries: its handle is used only when
    // it is a global memory block, whatever the descriptor claims.
    if (format->tymed != TYMED_HGLOBAL || medium->tymed != TYMED_HGLOBAL ||
        medium->hGlobal == nullptr || format->cfFormat != streamFormat_) {
        return;
    }
    BridgeLockHold hold;
    if (group_ == nullptr) {
        return;
    }
    GlobalLockHold block(medium->hGlobal);
    if (block.data() == nullptr) {
        return;
    }
    try {
        group_->storeDataChange(decodeDataChangeBlock(block.data(), block.size()));
    } catch (...) {
        // Out of memory while storing: the values stored so far stay, and
        // nothing unwinds into the server's call.
    }
}

void TopicGroup::storeDataChange(const DataChangeBlock& block) {
    BridgeLockHold hold;
    if (block.headerMissing) {
        logError(L"「" + topicName.str() + L"」データ変更のヘッダが不正。");
        return;
    }
    // S_FALSE only says that some item is not of good quality: its block is
    // data like any other.
    if (FAILED(block.hrStatus)) {
        logRawLine(L"\thrStatusr=" + std::to_wstring(static_cast<long>(block.hrStatus)));
        return;
    }
    if (block.recordWidth == kWideValueRecordSize && !wideRecordsSeen) {
        wideRecordsSeen = true;
        logInfo(L"「" + topicName.str() + L"」のサーバーは値を24バイトのレコードで送ります。");
    }
    // Entries are only looked up, never inserted or erased: a pass of the
    // tick may be walking the table while this runs inside its OPC call.
    for (const StreamItem& item : block.items) {
        auto found = itemTable.find(item.clientHandle);
        if (found == itemTable.end()) {
            continue;
        }
        ItemEntry& entry = found->second;
        // Only an item in the OPC group (or in the AddItems call still out)
        // takes values: a late value for an item already removed is dropped.
        if (!entry.added && !(addCallOut && entry.batchIndex >= 0)) {
            continue;
        }
        storeValue(entry, item);
        entry.quality = item.quality;
        entry.reservedWord = item.reservedWord;
        dirtyItems.insert(item.clientHandle);
    }
    if (block.badItem >= 0) {
        logError(L"「" + topicName.str() + L"」データ変更の項目(" + std::to_wstring(block.badItem) +
                 L")がブロック外。");
    }
}

}  // namespace korven
