#include "items/DataChangeStream.h"

#include <cstring>

namespace korven {
namespace {

DWORD readDword(const std::uint8_t* p) {
    DWORD value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

WORD readWord(const std::uint8_t* p) {
    WORD value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

// True when [offset, offset + length) lies inside a block of `size` bytes.
bool inside(size_t offset, size_t length, size_t size) {
    return offset <= size && length <= size - offset;
}

// True for the type words whose 16-byte record is copied as a plain value.
bool isPlainValueType(WORD type) {
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

DataChangeBlock decodeDataChangeBlock(const std::uint8_t* block, size_t size) {
    DataChangeBlock decoded;
    if (block == nullptr || size < kGroupHeaderSize) {
        decoded.headerMissing = true;
        return decoded;
    }
    const DWORD count = readDword(block + 4);
    decoded.hrStatus = static_cast<HRESULT>(readDword(block + 16));
    if (decoded.hrStatus != 0) {
        return decoded;
    }
    // Every header may point at the same text: what one block decodes to is
    // bounded by the block's own size, not by its item count times its texts.
    size_t textBytes = 0;
    for (DWORD k = 0; k < count; ++k) {
        const size_t header = kGroupHeaderSize + kItemHeaderSize * static_cast<size_t>(k);
        if (!inside(header, kItemHeaderSize, size)) {
            decoded.badItem = static_cast<long>(k);
            break;
        }
        StreamItem item;
        item.clientHandle = readDword(block + header);
        const size_t valueOffset = readDword(block + header + 4);
        item.quality = readWord(block + header + 8);
        item.reservedWord = readWord(block + header + 10);
        if (!inside(valueOffset, kValueRecordSize, size)) {
            decoded.badItem = static_cast<long>(k);
            break;
        }
        std::memcpy(item.record, block + valueOffset, kValueRecordSize);
        item.type = readWord(item.record);
        if (item.type == VT_BSTR) {
            if (!inside(valueOffset + kValueRecordSize, 4, size)) {
                decoded.badItem = static_cast<long>(k);
                break;
            }
            const size_t bytes = readDword(block + valueOffset + kValueRecordSize);
            const size_t textOffset = valueOffset + kValueRecordSize + 4;
            if (!inside(textOffset, bytes, size) || bytes > size - textBytes) {
                decoded.badItem = static_cast<long>(k);
                break;
            }
            textBytes += bytes;
            item.text.resize(bytes / sizeof(wchar_t));
            std::memcpy(item.text.data(), block + textOffset, item.text.size() * sizeof(wchar_t));
        }
        decoded.items.push_back(std::move(item));
    }
    return decoded;
}

bool plainValueFromRecord(const std::uint8_t* record, VARIANT& out) {
    const WORD type = readWord(record);
    if (!isPlainValueType(type)) {
        return false;
    }
    VariantInit(&out);
    if (type == VT_DECIMAL) {
        // The decimal fills the record; its first word stands where the type is.
        DECIMAL& d = V_DECIMAL(&out);
        d.scale = record[2];
        d.sign = record[3];
        d.Hi32 = readDword(record + 4);
        std::memcpy(&d.Lo64, record + 8, sizeof d.Lo64);
    } else {
        std::memcpy(&V_UI8(&out), record + 8, sizeof(ULONGLONG));
    }
    V_VT(&out) = type;
    return true;
}

}  // namespace korven
