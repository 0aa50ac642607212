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

HDDEDATA makeDataHandle(const void* bytes, size_t length, HSZ item, UINT format) {
    return ddeInstance().createDataHandle(static_cast<const BYTE*>(bytes),
                                          static_cast<DWORD>(length), 0, item, format, 0);
}

// A marker of ASCII characters, made without a conversion that could fail.
HDDEDATA markerHandle(const std::string& marker, HSZ item, UINT format) {
    if (format == CF_UNICODETEXT) {
        const std::wstring wide(marker.begin(), marker.end());
        return makeDataHandle(wide.c_str(), (wide.size() + 1) * sizeof(wchar_t), item, format);
    }
    return makeDataHandle(marker.c_str(), marker.size() + 1, item, CF_TEXT);
}

// The value text of an item in the table in `format`; null when the item is
// not in the table.
HDDEDATA valueData(TopicGroup& group, const DdeTransaction& transaction, UINT format) {
    BridgeLockHold hold;
    auto found = group.itemTable.find(keyOf(transaction.item));
    if (found == group.itemTable.end()) {
        return nullptr;
    }
    // Nothing may leave the DDE callback: a value without a text form, or a
    // failed conversion, is answered with a marker.
    try {
        return textReplyHandle(replyText(found->second), transaction.item, format);
    } catch (const _com_error& error) {
        return markerHandle(textErrorMarker(error.Error()), transaction.item, format);
    }
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
    if (entry.dataError != 0) {
        return formattedMarker("#ERR:DATA(%ld)", static_cast<long>(entry.dataError));
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

bool isTextReplyFormat(UINT format) {
    return format == CF_TEXT || format == CF_UNICODETEXT;
}

HDDEDATA textReplyHandle(const SharedText& text, HSZ item, UINT format) {
    if (format == CF_UNICODETEXT) {
        const wchar_t* wide = text.present() ? text.wide() : L"";
        return makeDataHandle(wide, (text.length() + 1) * sizeof(wchar_t), item, format);
    }
    if (format != CF_TEXT) {
        return nullptr;
    }
    const char* bytes = text.present() ? text.narrow() : "";
    return makeDataHandle(bytes, std::strlen(bytes) + 1, item, format);
}

// Advise links exist in CF_TEXT only.
HDDEDATA TopicGroup::adviseData(const DdeTransaction& transaction) {
    return valueData(*this, transaction, CF_TEXT);
}

HDDEDATA TopicGroup::requestData(const DdeTransaction& transaction) {
    if (!isTextReplyFormat(transaction.format)) {
        return nullptr;
    }
    if (HDDEDATA handle = valueData(*this, transaction, transaction.format)) {
        return handle;
    }
    return markerHandle(kNothingText, transaction.item, transaction.format);
}

}  // namespace korven
