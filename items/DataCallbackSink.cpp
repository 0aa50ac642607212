#include "items/DataCallbackSink.h"

#include <cstring>
#include <utility>

#include "common/ComMemory.h"
#include "opc/ServerSession.h"

namespace korven {
namespace {

// An array's elements as the stream would carry them (texts beside them):
// the SAFEARRAY's own bounds and packed elements. Arrays of VARIANTs, and of
// what cannot travel as plain bytes, keep their type word alone.
void arrayOf(SAFEARRAY* array, VARTYPE elementType, StreamItem& item) {
    if (array == nullptr || array->cDims == 0 || elementType == VT_VARIANT ||
        elementType == VT_UNKNOWN || elementType == VT_DISPATCH || elementType == VT_RECORD) {
        return;
    }
    StreamArray copy;
    copy.elementSize = array->cbElements;
    size_t count = 1;
    for (USHORT d = 0; d < array->cDims; ++d) {
        copy.bounds.push_back({array->rgsabound[d].cElements, array->rgsabound[d].lLbound});
        count *= array->rgsabound[d].cElements;
    }
    ArrayAccess hold(array);
    if (count != 0 && hold.data() == nullptr) {
        return;
    }
    if (elementType == VT_BSTR) {
        const BSTR* texts = static_cast<const BSTR*>(hold.data());
        copy.texts.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            copy.texts.emplace_back(reinterpret_cast<const char16_t*>(texts[i] ? texts[i] : L""),
                                    texts[i] ? SysStringLen(texts[i]) : 0);
        }
    } else {
        const auto* bytes = static_cast<const std::uint8_t*>(hold.data());
        copy.data.assign(bytes, bytes + count * copy.elementSize);
    }
    item.array = std::move(copy);
}

// The value as the stream's decoder gives it: plain data copied field by
// field, the text beside it, arrays by their elements; every other type by
// its type word alone.
void valueOf(const VARIANT& value, StreamItem& item) {
    const VARTYPE type = V_VT(&value);
    item.type = type;
    if (type == VT_DECIMAL) {
        const DECIMAL& d = V_DECIMAL(&value);
        item.plain.scale = d.scale;
        item.plain.sign = d.sign;
        item.plain.high = d.Hi32;
        item.plain.bits = d.Lo64;
        return;
    }
    if (type == VT_BSTR) {
        const BSTR text = V_BSTR(&value);
        if (text != nullptr) {
            item.text.assign(reinterpret_cast<const char16_t*>(text), SysStringLen(text));
        }
        return;
    }
    if ((type & VT_BYREF) == 0 && (type & VT_ARRAY) != 0) {
        arrayOf(V_ARRAY(&value), type & VT_TYPEMASK, item);
        return;
    }
    if ((type & (VT_ARRAY | VT_BYREF)) != 0) {
        return;  // pointers: only the type word tells what it was
    }
    item.plain.bits = V_UI8(&value);
}

}  // namespace

DataChangeBlock callbackBlock(DWORD count, const OPCHANDLE* clientHandles, const VARIANT* values,
                              const WORD* qualities, const HRESULT* errors) {
    DataChangeBlock block;
    if (count == 0 || clientHandles == nullptr || values == nullptr) {
        return block;
    }
    block.items.reserve(count);
    for (DWORD i = 0; i < count; ++i) {
        StreamItem item;
        item.clientHandle = clientHandles[i];
        item.quality = qualities != nullptr ? qualities[i] : 0;
        item.error = errors != nullptr ? errors[i] : S_OK;
        if (item.error >= 0) {
            valueOf(values[i], item);
        }
        block.items.push_back(std::move(item));
    }
    return block;
}

STDMETHODIMP DataCallbackSink::OnDataChange(DWORD, OPCHANDLE group, HRESULT, HRESULT, DWORD count,
                                            OPCHANDLE* clientHandles, VARIANT* values,
                                            WORD* qualities, FILETIME*, HRESULT* errors) {
    if (session_ == nullptr || group != group_) {
        return S_OK;
    }
    // Copied before the call returns; nothing unwinds into the server's call.
    try {
        session_->deliverValues(callbackBlock(count, clientHandles, values, qualities, errors));
    } catch (...) {
    }
    return S_OK;
}

}  // namespace korven
