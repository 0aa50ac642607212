#include "DataChangeStream.h"

#include <oleauto.h>

#include <cstring>

namespace opcsim {
namespace {

constexpr size_t kGroupHeaderSize = 20;
constexpr size_t kItemHeaderSize = 12;
constexpr size_t kValueRecordSize = 16;  // the fields every record carries

void put32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    std::memcpy(out.data() + at, &v, 4);
}

void put16(std::vector<uint8_t>& out, size_t at, uint16_t v) {
    std::memcpy(out.data() + at, &v, 2);
}

void append32(std::vector<uint8_t>& out, uint32_t v) {
    size_t at = out.size();
    out.resize(at + 4);
    put32(out, at, v);
}

void appendBytes(std::vector<uint8_t>& out, const void* bytes, size_t count) {
    const size_t at = out.size();
    out.resize(at + count);
    if (count != 0) {
        std::memcpy(out.data() + at, bytes, count);
    }
}

// An array's SAFEARRAY record as it stands in the memory of a server whose
// pointers are as wide as its value records (4 bytes with 16-byte records, 8
// with 24-byte ones), then its elements: what servers copy into the stream.
void appendArray(std::vector<uint8_t>& out, const VARIANT& v, size_t recordSize) {
    SAFEARRAY* array = v.parray;
    if (array == nullptr) {
        return;
    }
    const bool wide = recordSize > kValueRecordSize;
    const size_t at = out.size();
    out.resize(at + (wide ? 24 : 16), 0);
    put16(out, at, array->cDims);
    put16(out, at + 2, array->fFeatures);
    put32(out, at + 4, array->cbElements);
    put32(out, at + 8, array->cLocks);
    const auto pointer = reinterpret_cast<uintptr_t>(array->pvData);
    if (wide) {
        const uint64_t pointer64 = pointer;
        std::memcpy(out.data() + at + 16, &pointer64, 8);
    } else {
        put32(out, at + 12, static_cast<uint32_t>(pointer));
    }
    // The bounds as rgsabound holds them (the last dimension first), and
    // the elements as they lie at pvData: nothing reordered.
    size_t count = 1;
    for (USHORT d = 0; d < array->cDims; ++d) {
        append32(out, array->rgsabound[d].cElements);
        append32(out, static_cast<uint32_t>(array->rgsabound[d].lLbound));
        count *= array->rgsabound[d].cElements;
    }
    void* data = nullptr;
    if (count != 0 && SUCCEEDED(SafeArrayAccessData(array, &data))) {
        appendBytes(out, data, count * array->cbElements);
        SafeArrayUnaccessData(array);
    }
}

}  // namespace

size_t payloadSize(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_UI1:
            return 1;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            return 2;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_ERROR:
            return 4;
        case VT_I8:
        case VT_UI8:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
            return 8;
        default:
            return 0;
    }
}

HRESULT blockStatusOf(const std::vector<StreamItem>& items) {
    for (const StreamItem& item : items) {
        if ((item.quality & 0xC0) != 0xC0) {
            return S_FALSE;
        }
    }
    return S_OK;
}

std::vector<uint8_t> encodeDataChange(DWORD hClientGroup, DWORD transactionId, HRESULT hrStatus,
                                      const std::vector<StreamItem>& items, size_t recordSize) {
    std::vector<uint8_t> out(kGroupHeaderSize + kItemHeaderSize * items.size(), 0);
    put32(out, 4, static_cast<uint32_t>(items.size()));
    put32(out, 8, hClientGroup);
    put32(out, 12, transactionId);
    put32(out, 16, static_cast<uint32_t>(hrStatus));
    for (size_t k = 0; k < items.size(); ++k) {
        const StreamItem& item = items[k];
        const size_t header = kGroupHeaderSize + kItemHeaderSize * k;
        const size_t at = out.size();
        put32(out, header, item.hClient);
        put32(out, header + 4, static_cast<uint32_t>(at));
        put16(out, header + 8, item.quality);
        put16(out, header + 10, item.reserved);

        out.resize(at + recordSize, 0);
        VARIANT empty;
        VariantInit(&empty);
        const VARIANT& v = item.value ? *item.value : empty;
        if (v.vt == VT_DECIMAL) {
            std::memcpy(out.data() + at, &v.decVal, kValueRecordSize);
            put16(out, at, VT_DECIMAL);
            continue;
        }
        put16(out, at, v.vt);
        if (v.vt == VT_BSTR) {
            const uint32_t bytes = v.bstrVal ? SysStringByteLen(v.bstrVal) : 0;
            append32(out, bytes);
            size_t text = out.size();
            out.resize(text + bytes + 2, 0);
            if (bytes) {
                std::memcpy(out.data() + text, v.bstrVal, bytes);
            }
        } else if (v.vt & VT_ARRAY) {
            appendArray(out, v, recordSize);
        } else if (!(v.vt & VT_BYREF)) {
            const size_t size = payloadSize(v.vt);
            if (size) {
                std::memcpy(out.data() + at + 8, &v.llVal, size);
            }
        }
    }
    put32(out, 0, static_cast<uint32_t>(out.size()));
    return out;
}

}  // namespace opcsim
