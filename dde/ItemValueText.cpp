#include "dde/ItemValueText.h"

#include <comdef.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "common/BridgeLock.h"
#include "common/ComMemory.h"
#include "dde/ArrayText.h"
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
    if (group.showsOffline()) {
        return markerHandle(kOfflineText, transaction.item, format);
    }
    // Nothing may leave the DDE callback: a value without a text form, or a
    // failed conversion, is answered with a marker.
    try {
        const ReplyRules rules{group.qualityMarks, group.arrayTexts};
        return textReplyHandle(replyText(found->second, rules), transaction.item, format);
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

std::optional<std::string> qualityMarker(WORD quality, QualityMarks marks) {
    constexpr WORD kClassBits = 0xC0;
    constexpr WORD kUncertain = 0x40;
    constexpr WORD kGood = 0xC0;
    const WORD qualityClass = quality & kClassBits;
    const char* format = nullptr;
    if (marks == QualityMarks::Hide || qualityClass == kGood) {
        return std::nullopt;
    }
    if (qualityClass == kUncertain) {
        if (marks != QualityMarks::Strict) {
            return std::nullopt;
        }
        format = "#UNCERTAIN(%u)";
    } else {
        format = "#BAD(%u)";  // bad, and the reserved class
    }
    char buffer[kFormatRoom] = {};
    std::snprintf(buffer, sizeof buffer, format, static_cast<unsigned>(quality));
    return std::string(buffer);
}

std::wstring scalarText(const VARIANT& value) {
    std::wstring text;
    if (V_VT(&value) == VT_BSTR) {
        if (V_BSTR(&value) != nullptr) {
            text = V_BSTR(&value);  // up to the first NUL
        }
    } else {
        VariantHolder converted;
        const HRESULT hr =
            VariantChangeType(converted.get(), const_cast<VARIANT*>(&value), 0, VT_BSTR);
        if (FAILED(hr)) {
            throw _com_error(hr);
        }
        if (V_BSTR(converted.get()) != nullptr) {
            text = V_BSTR(converted.get());
        }
    }
    return text.empty() ? L"(null)" : text;
}

SharedText replyText(const ItemEntry& entry, const ReplyRules& rules) {
    if (entry.addError != 0) {
        return formattedMarker("#ERR:ADD(%ld)", static_cast<long>(entry.addError));
    }
    if (entry.reservedWord != 0) {
        return formattedMarker("#ERR:DATA(%ld)", static_cast<long>(entry.reservedWord));
    }
    if (entry.dataError != 0) {
        return formattedMarker("#ERR:DATA(%ld)", static_cast<long>(entry.dataError));
    }
    const VARTYPE type = V_VT(&entry.value);
    std::optional<std::wstring> array;
    if ((type & VT_ARRAY) != 0 && rules.arrays == ArrayTexts::Tabs) {
        array = arrayText(V_ARRAY(&entry.value), type & VT_TYPEMASK);
    }
    if (entry.typeError || ((type & VT_ARRAY) != 0 && !array)) {
        return formattedMarker("#ERR:TYPE(VT=%d)", entry.typeError.value_or(type));
    }
    if (type == VT_EMPTY) {
        return SharedText::fromWide(L"#EMPTY");
    }
    if (std::optional<std::string> marker = qualityMarker(entry.quality, rules.quality)) {
        return SharedText::fromNarrow(marker->c_str());
    }
    return SharedText::fromWide((array ? *array : scalarText(entry.value)).c_str());
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
    checkThread();
    return valueData(*this, transaction, CF_TEXT);
}

HDDEDATA TopicGroup::requestData(const DdeTransaction& transaction) {
    checkThread();
    if (!isTextReplyFormat(transaction.format)) {
        return nullptr;
    }
    if (HDDEDATA handle = valueData(*this, transaction, transaction.format)) {
        return handle;
    }
    return markerHandle(kNothingText, transaction.item, transaction.format);
}

}  // namespace korven
