#include "items/StreamValue.h"

namespace korven {

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

bool plainValueOf(const StreamItem& item, VARIANT& out) {
    if (!isPlainValueType(item.type)) {
        return false;
    }
    VariantInit(&out);
    if (item.type == VT_DECIMAL) {
        DECIMAL& d = V_DECIMAL(&out);
        d.scale = item.plain.scale;
        d.sign = item.plain.sign;
        d.Hi32 = item.plain.high;
        d.Lo64 = item.plain.bits;
    } else {
        V_UI8(&out) = item.plain.bits;
    }
    V_VT(&out) = item.type;
    return true;
}

}  // namespace korven
