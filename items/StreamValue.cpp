#include "items/StreamValue.h"

#include <cstring>

namespace korven {
namespace {

// True for the type words whose 16-byte record is copied as a plain value.
bool isPlainValueType(VARTYPE type) {
    switch (type) {
        case VT_I2:
        case VT_I4:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_ERROR:
        case VT_BOOL:
        case VT_DECIMAL:
        case VT_I1:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
            return true;
        default:
            return false;
    }
}

}  // namespace

bool plainValueFromRecord(const std::uint8_t* record, VARIANT& out) {
    VARTYPE type;
    std::memcpy(&type, record, sizeof type);
    if (!isPlainValueType(type)) {
        return false;
    }
    VariantInit(&out);
    if (type == VT_DECIMAL) {
        // The decimal fills the record; its first word stands where the type is.
        DECIMAL& d = V_DECIMAL(&out);
        d.scale = record[2];
        d.sign = record[3];
        std::memcpy(&d.Hi32, record + 4, sizeof d.Hi32);
        std::memcpy(&d.Lo64, record + 8, sizeof d.Lo64);
    } else {
        std::memcpy(&V_UI8(&out), record + 8, sizeof(ULONGLONG));
    }
    V_VT(&out) = type;
    return true;
}

}  // namespace korven
