#include "ItemDetails.h"

#include <oleauto.h>

namespace opcbrowse {
namespace {

std::optional<LONG> integerOf(VARIANT& value) {
    VARIANT converted;
    VariantInit(&converted);
    if (FAILED(VariantChangeType(&converted, &value, 0, VT_I4))) {
        return std::nullopt;
    }
    return converted.lVal;
}

}  // namespace

ItemDetails readItemDetails(IOPCItemProperties* properties, const std::wstring& itemId) {
    ItemDetails details;
    if (!properties) {
        return details;
    }
    DWORD ids[] = {OPC_PROPERTY_DATATYPE, OPC_PROPERTY_ACCESS_RIGHTS};
    constexpr DWORD count = 2;
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    const HRESULT hr = properties->GetItemProperties(const_cast<LPWSTR>(itemId.c_str()), count, ids,
                                                     &values, &errors);
    if (SUCCEEDED(hr) && values && errors) {
        if (SUCCEEDED(errors[0])) {
            if (const auto type = integerOf(values[0])) {
                details.type = static_cast<VARTYPE>(*type);
            }
        }
        if (SUCCEEDED(errors[1])) {
            if (const auto rights = integerOf(values[1])) {
                details.accessRights = static_cast<DWORD>(*rights);
            }
        }
    }
    if (values) {
        for (DWORD i = 0; i < count; ++i) {
            VariantClear(&values[i]);
        }
        CoTaskMemFree(values);
    }
    CoTaskMemFree(errors);
    return details;
}

}  // namespace opcbrowse
