#include "dde/ArrayText.h"

#include <comdef.h>

#include "common/ComMemory.h"
#include "dde/ItemValueText.h"
#include "items/StreamValue.h"

namespace korven {
namespace {

// The element types whose elements read as a value of their type does.
bool hasText(VARTYPE type) {
    return type == VT_BSTR || isPlainValueType(type);
}

// The element at `indices` (first dimension first) as a value of its own.
std::wstring elementText(SAFEARRAY* array, VARTYPE type, LONG* indices) {
    VariantHolder element;
    VARIANT* value = element.get();
    // SafeArrayGetElement copies into the union's storage; a decimal fills
    // the whole VARIANT, its type word set after.
    void* storage = type == VT_DECIMAL ? static_cast<void*>(&V_DECIMAL(value))
                                       : static_cast<void*>(&V_UI8(value));
    const HRESULT hr = SafeArrayGetElement(array, indices, storage);
    if (FAILED(hr)) {
        throw _com_error(hr);
    }
    V_VT(value) = type;
    return scalarText(*value);
}

}  // namespace

std::optional<std::wstring> arrayText(SAFEARRAY* array, VARTYPE elementType) {
    if (array == nullptr || !hasText(elementType)) {
        return std::nullopt;
    }
    const UINT dimensions = SafeArrayGetDim(array);
    if (dimensions == 0 || dimensions > 2) {
        return std::nullopt;
    }
    LONG lower[2] = {};
    LONG upper[2] = {};
    for (UINT d = 0; d < dimensions; ++d) {
        if (FAILED(SafeArrayGetLBound(array, d + 1, &lower[d])) ||
            FAILED(SafeArrayGetUBound(array, d + 1, &upper[d]))) {
            return std::nullopt;
        }
        if (upper[d] < lower[d]) {
            return L"(null)";  // no element at all
        }
    }
    // One dimension is one row; two are rows (the first index) of elements.
    const LONG rowLast = dimensions == 1 ? lower[0] : upper[0];
    const UINT column = dimensions - 1;
    std::wstring text;
    LONG indices[2] = {};
    for (LONG row = lower[0]; row <= rowLast; ++row) {
        if (row != lower[0]) {
            text += L"\r\n";
        }
        indices[0] = row;
        for (LONG at = lower[column]; at <= upper[column]; ++at) {
            if (at != lower[column]) {
                text += L'\t';
            }
            indices[column] = at;
            text += elementText(array, elementType, indices);
        }
    }
    return text;
}

}  // namespace korven
