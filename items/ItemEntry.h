#pragma once
// One linked (or recently linked) item of a topic group: its link count, the
// outcome of adding it to the OPC group, and its last value. Kept in its
// topic's item table on the main thread, with the topic (TopicGroup).
#include <windows.h>
#include <oleauto.h>

#include <optional>

#include "common/SharedText.h"

namespace korven {

struct ItemEntry {
    LONG linkCount = 0;
    HRESULT addError = 0;    // 0: not tried or added; server's code; -1: whole add failed
    SharedText itemId;       // the OPC item ID (the DDE item name)
    DWORD serverHandle = 0;  // valid while `added`
    bool added = false;
    VARIANT value;  // VT_EMPTY until the first data change
    WORD quality = 0;
    WORD reservedWord = 0;  // header word after the quality word of the last record
    HRESULT dataError = 0;  // the last callback's error entry for the item, when a failure
    std::optional<VARTYPE> typeError;  // the last value's type, when the bridge cannot hold it
    LONG batchIndex = -1;              // position in the last add batch, -1 when not in it

    ItemEntry() { VariantInit(&value); }
    ItemEntry(const ItemEntry& other);
    ItemEntry& operator=(const ItemEntry& other);
    ~ItemEntry() { VariantClear(&value); }
};

}  // namespace korven
