#include "dde/ItemValueText.h"

#include <comdef.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "common/BridgeLock.h"
#include "common/ComMemory.h"
#include "dde/DdeInstance.h"
#include "opc/TopicGroup.h"

namespace korven {
namespace {

constexpr size_t kFormatRoom = 30;

SharedText formattedMarker(const char* format, long number) {
    char buffer[kFormatRoom] = {};
    wsprintfA(buffer, format, number);
    return SharedText::fromNarrow(buffer);
}

// The text of a string held in a BSTR, up to its first NUL; absent for null.
SharedText stringText(BSTR text) {
    if (text == nullptr) {
        return SharedText();
    }
    return SharedText::fromWide(text);
}

HDDEDATA makeTextHandle(const char* bytes, DWORD length, HSZ item) {
    return ddeInstance().createDataHandle(reinterpret_cast<const BYTE*>(bytes), length, 0, item,
                                          CF_TEXT, 0);
}

}  // namespace

std::string textErrorMarker(HRESULT hr) {
    char buffer[kFormatRoom] = {};
    std::snprintf(buffer, sizeof buffer, "#ERR:TEXT(%ld)", static_cast<long>(hr));
    return buffer;
}

SharedText replyText(const ItemEntry& entry) {
    if (entry.addError != 0) {
        return formattedMarker("#ERR:ADD(%ld)", static_cast<long>(entry.addError));
    }
    if (entry.reservedWord != 0) {
        return formattedMarker("#ERR:DATA(%ld)", static_cast<long>(entry.reservedWord));
    }
    if (V_VT(&entry.value) == VT_EMPTY) {
        return SharedText::fromWide(L"#EMPTY");
    }
    SharedText text;
    if (V_VT(&entry.value) == VT_BSTR) {
        text = stringText(V_BSTR(&entry.value));
    } else {
        VariantHolder converted;
        const HRESULT hr =
            VariantChangeType(converted.get(), const_cast<VARIANT*>(&entry.value), 0, VT_BSTR);
        if (FAILED(hr)) {
            throw _com_error(hr);
        }
        text = stringText(V_BSTR(converted.get()));
    }
    if (text.length() == 0) {
        return SharedText::fromNarrow("(null)");
    }
    return text;
}

HDDEDATA TopicGroup::adviseData(const DdeTransaction& transaction) {
    BridgeLockHold hold;
    auto found = itemTable.find(keyOf(transaction.item));
    if (found == itemTable.end()) {
        return nullptr;
    }
    // Nothing may leave the DDE callback: a value without a text form, or a
    // failed conversion, is answered with a marker.
    try {
        const SharedText text = replyText(found->second);
        const char* bytes = text.narrow();
        return makeTextHandle(bytes, static_cast<DWORD>(std::strlen(bytes) + 1), transaction.item);
    } catch (const _com_error& error) {
        const std::string marker = textErrorMarker(error.Error());
        return makeTextHandle(marker.c_str(), static_cast<DWORD>(marker.size() + 1),
                              transaction.item);
    }
}

HDDEDATA TopicGroup::requestData(const DdeTransaction& transaction) {
    if (HDDEDATA handle = adviseData(transaction)) {
        return handle;
    }
    return makeTextHandle(kNothingText, sizeof kNothingText, transaction.item);
}

}  // namespace korven
