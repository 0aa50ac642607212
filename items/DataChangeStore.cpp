// Storing the values of a data-change block in the topic's item table, on
// the main thread: each value is rebuilt from its record, and the item is
// marked for posting.
#include <comdef.h>

#include <cstring>
#include <vector>
#include <string>

#include "common/BridgeLock.h"
#include "common/ComMemory.h"
#include "common/ConsoleLog.h"
#include "items/DataChangeStream.h"
#include "items/StreamValue.h"
#include "opc/TopicGroup.h"

namespace korven {
namespace {

// The array an item's elements stand for, or null when they did not come or
// do not agree with their bounds.
SAFEARRAY* arrayOf(const StreamItem& item) {
    if (!item.array || item.array->bounds.empty() || item.array->bounds.size() > 0xFFFF) {
        return nullptr;
    }
    const StreamArray& elements = *item.array;
    const VARTYPE elementType = item.type & VT_TYPEMASK;
    // SafeArrayCreate takes the first dimension first and keeps them the
    // other way round, as the record does.
    const size_t dimensions = elements.bounds.size();
    std::vector<SAFEARRAYBOUND> bounds(dimensions);
    size_t count = 1;
    for (size_t d = 0; d < dimensions; ++d) {
        bounds[dimensions - 1 - d] = {elements.bounds[d].elements, elements.bounds[d].lowerBound};
        count *= elements.bounds[d].elements;
    }
    ArrayPtr array(SafeArrayCreate(elementType, static_cast<UINT>(dimensions), bounds.data()));
    if (array.get() == nullptr) {
        return nullptr;
    }
    const bool texts = elementType == VT_BSTR;
    if (texts ? elements.texts.size() != count
              : array.get()->cbElements != elements.elementSize ||
                    elements.data.size() != count * elements.elementSize) {
        return nullptr;
    }
    if (count == 0) {
        return array.release();
    }
    ArrayAccess access(array.get());
    if (access.data() == nullptr) {
        throw _com_error(E_OUTOFMEMORY);
    }
    if (!texts) {
        std::memcpy(access.data(), elements.data.data(), elements.data.size());
        return array.release();
    }
    BSTR* out = static_cast<BSTR*>(access.data());
    for (size_t i = 0; i < count; ++i) {
        const std::u16string& text = elements.texts[i];
        out[i] = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                                   static_cast<UINT>(text.size()));
        if (out[i] == nullptr) {
            throw _com_error(E_OUTOFMEMORY);
        }
    }
    return array.release();
}

// The value of a record into the entry; a type the bridge cannot hold
// leaves the entry without a value, its type kept for the marker.
void storeValue(ItemEntry& entry, const StreamItem& item) {
    VariantHolder local;
    static_assert(sizeof(OLECHAR) == sizeof(char16_t), "a BSTR holds UTF-16 units");
    if (plainValueOf(item, *local.get())) {
        // Plain values only: nothing to clear in the local copy.
    } else if (item.type == VT_BSTR) {
        V_VT(local.get()) = VT_BSTR;
        V_BSTR(local.get()) = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(item.text.data()),
                                                static_cast<UINT>(item.text.size()));
        if (V_BSTR(local.get()) == nullptr) {
            throw _com_error(E_OUTOFMEMORY);
        }
    } else if (SAFEARRAY* array = (item.type & VT_ARRAY) != 0 ? arrayOf(item) : nullptr) {
        V_VT(local.get()) = item.type;
        V_ARRAY(local.get()) = array;
    } else {
        VariantClear(&entry.value);
        entry.typeError = item.type;
        return;
    }
    // Made first, stored last: a failure leaves the old value whole.
    const HRESULT hr = VariantCopy(&entry.value, local.get());
    if (FAILED(hr)) {
        throw _com_error(hr);
    }
    entry.typeError.reset();
}

}  // namespace

void TopicGroup::storeDataChange(const DataChangeBlock& block) {
    checkThread();
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
