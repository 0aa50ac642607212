#include "items/DataChangeStream.h"

#include <algorithm>
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

// Room a server may leave after a value's data: the text's NUL and padding
// to the next record's alignment.
constexpr size_t kRecordSlack = 8;

// True when the records of the block, read `width` bytes wide, lie inside it
// and end where the next one (or the block) begins.
bool recordsFit(const std::uint8_t* block, size_t size, size_t width) {
    const DWORD count = readDword(block + 4);
    if (count > (size - kGroupHeaderSize) / kItemHeaderSize) {
        return false;
    }
    const size_t headersEnd = kGroupHeaderSize + kItemHeaderSize * static_cast<size_t>(count);
    size_t end = readDword(block);
    if (end < headersEnd || end > size) {
        end = size;
    }
    std::vector<size_t> offsets;
    offsets.reserve(count);
    for (DWORD k = 0; k < count; ++k) {
        offsets.push_back(readDword(block + kGroupHeaderSize + kItemHeaderSize * k + 4));
    }
    std::sort(offsets.begin(), offsets.end());
    offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
    for (size_t i = 0; i < offsets.size(); ++i) {
        const size_t at = offsets[i];
        const size_t next = i + 1 < offsets.size() ? offsets[i + 1] : end;
        if (at < headersEnd || !inside(at, width, end)) {
            return false;
        }
        size_t need = width;
        const WORD type = readWord(block + at);
        if (type == VT_BSTR || (type & VT_ARRAY) != 0) {
            if (!inside(at + width, 4, end)) {
                return false;
            }
            const size_t bytes = readDword(block + at + width);
            if (bytes > end) {
                return false;
            }
            need += 4 + bytes;
        }
        if (next < at + need || next - (at + need) > kRecordSlack) {
            return false;
        }
    }
    return true;
}

}  // namespace

size_t recordWidthOf(const std::uint8_t* block, size_t size) {
    if (block == nullptr || size < kGroupHeaderSize || recordsFit(block, size, kValueRecordSize)) {
        return kValueRecordSize;
    }
    return recordsFit(block, size, kWideValueRecordSize) ? kWideValueRecordSize : kValueRecordSize;
}

DataChangeBlock decodeDataChangeBlock(const std::uint8_t* block, size_t size) {
    DataChangeBlock decoded;
    if (block == nullptr || size < kGroupHeaderSize) {
        decoded.headerMissing = true;
        return decoded;
    }
    const DWORD count = readDword(block + 4);
    decoded.hrStatus = static_cast<HRESULT>(readDword(block + 16));
    if (FAILED(decoded.hrStatus)) {
        return decoded;
    }
    const size_t width = recordWidthOf(block, size);
    decoded.recordWidth = width;
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
        if (!inside(valueOffset, width, size)) {
            decoded.badItem = static_cast<long>(k);
            break;
        }
        std::memcpy(item.record, block + valueOffset, kValueRecordSize);
        item.type = readWord(item.record);
        if (item.type == VT_BSTR) {
            if (!inside(valueOffset + width, 4, size)) {
                decoded.badItem = static_cast<long>(k);
                break;
            }
            const size_t bytes = readDword(block + valueOffset + width);
            const size_t textOffset = valueOffset + width + 4;
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
