// Storing the values of a data-change block in the topic's item table, on
// the main thread: each value is rebuilt from its record, and the item is
// marked for posting.
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
    // Entries are only looked up, never inserted or erased.
    for (const StreamItem& item : block.items) {
        auto found = itemTable.find(item.clientHandle);
        if (found == itemTable.end()) {
            continue;
        }
        ItemEntry& entry = found->second;
        // Only an item in the OPC group (or in the pass still out) takes
        // values: a late value for an item already removed is dropped.
        if (!entry.added && !(passOut && entry.batchIndex >= 0)) {
            continue;
        }
        // A failed error entry (2.0 callbacks) carries no value: the item
        // shows the error until a good value comes.
        if (item.error < 0) {
            entry.dataError = item.error;
        } else {
            storeValue(entry, item);
            entry.dataError = 0;
        }
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
