#include "items/DataChangeStream.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace korven {
namespace {

std::uint32_t readDword(const std::uint8_t* p) {
    std::uint32_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

std::uint64_t readQword(const std::uint8_t* p) {
    std::uint64_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

std::uint16_t readWord(const std::uint8_t* p) {
    std::uint16_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

// True when [offset, offset + length) lies inside a block of `size` bytes.
bool inside(std::size_t offset, std::size_t length, std::size_t size) {
    return offset <= size && length <= size - offset;
}

// Room a server may leave after a value's data: the text's NUL and padding
// to the next record's alignment.
constexpr std::size_t kRecordSlack = 8;

// An array value is followed by the server's own SAFEARRAY record, copied as
// it stands in its memory, then by the elements. The record is as wide as
// the server's pointers, as the value records are: cDims (2), fFeatures (2),
// cbElements (4), cLocks (4), then pvData (4 bytes; 4 bytes of padding and 8
// on a 64-bit server), then one bound (cElements 4, lLbound 4) per dimension.
constexpr std::size_t kArrayHeaderSize = 16;
constexpr std::size_t kWideArrayHeaderSize = 24;
constexpr std::size_t kArrayBoundSize = 8;

std::size_t arrayHeaderSize(std::size_t width) {
    return width == kWideValueRecordSize ? kWideArrayHeaderSize : kArrayHeaderSize;
}

// The bytes an array's SAFEARRAY record and elements take after the value
// record at `at`, laid out for `width`; nothing when they would not lie
// wholly before `end`.
std::optional<std::size_t> arrayDataSize(const std::uint8_t* block, std::size_t at,
                                         std::size_t width, std::size_t end) {
    const std::size_t header = at + width;
    const std::size_t fixed = arrayHeaderSize(width);
    if (!inside(header, fixed, end)) {
        return std::nullopt;
    }
    const std::size_t dimensions = readWord(block + header);
    const std::size_t elementSize = readDword(block + header + 4);
    if (dimensions == 0 || dimensions > (end - header - fixed) / kArrayBoundSize) {
        return std::nullopt;
    }
    const std::size_t bounds = header + fixed;
    std::size_t data = elementSize;
    for (std::size_t d = 0; d < dimensions; ++d) {
        const std::size_t elements = readDword(block + bounds + kArrayBoundSize * d);
        if (elements != 0 && data > end / elements) {
            return std::nullopt;
        }
        data *= elements;
    }
    const std::size_t need = fixed + kArrayBoundSize * dimensions + data;
    if (!inside(header, need, end)) {
        return std::nullopt;
    }
    return need;
}

// The SAFEARRAY record at `header` (`fixed` bytes, then the bounds), and the
// elements after it; arrayDataSize has found that they lie in the block.
void readArray(const std::uint8_t* block, std::size_t header, std::size_t fixed,
               StreamArray& array) {
    const std::size_t dimensions = readWord(block + header);
    array.elementSize = readDword(block + header + 4);
    std::size_t count = 1;
    for (std::size_t d = 0; d < dimensions; ++d) {
        const std::uint8_t* bound = block + header + fixed + kArrayBoundSize * d;
        StreamArray::Bound b;
        b.elements = readDword(bound);
        b.lowerBound = static_cast<std::int32_t>(readDword(bound + 4));
        array.bounds.push_back(b);
        count *= b.elements;
    }
    const std::uint8_t* data = block + header + fixed + kArrayBoundSize * dimensions;
    array.data.assign(data, data + count * array.elementSize);
}

// True when the records of the block, read `width` bytes wide, lie inside it
// and end where the next one (or the block) begins.
bool recordsFit(const std::uint8_t* block, std::size_t size, std::size_t width) {
    const std::uint32_t count = readDword(block + 4);
    if (count > (size - kGroupHeaderSize) / kItemHeaderSize) {
        return false;
    }
    const std::size_t headersEnd =
        kGroupHeaderSize + kItemHeaderSize * static_cast<std::size_t>(count);
    std::size_t end = readDword(block);
    if (end < headersEnd || end > size) {
        end = size;
    }
    std::vector<std::size_t> offsets;
    offsets.reserve(count);
    for (std::uint32_t k = 0; k < count; ++k) {
        offsets.push_back(readDword(block + kGroupHeaderSize + kItemHeaderSize * k + 4));
    }
    std::sort(offsets.begin(), offsets.end());
    offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        const std::size_t at = offsets[i];
        const std::size_t next = i + 1 < offsets.size() ? offsets[i + 1] : end;
        if (at < headersEnd || !inside(at, width, end)) {
            return false;
        }
        std::size_t need = width;
        const std::uint16_t type = readWord(block + at);
        if (type == kTypeBstr) {
            if (!inside(at + width, 4, end)) {
                return false;
            }
            const std::size_t bytes = readDword(block + at + width);
            if (bytes > end) {
                return false;
            }
            need += 4 + bytes;
        } else if ((type & kTypeArrayBit) != 0) {
            const std::optional<std::size_t> array = arrayDataSize(block, at, width, end);
            if (!array) {
                return false;
            }
            need += *array;
        }
        if (next < at + need || next - (at + need) > kRecordSlack) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::size_t recordWidthOf(const std::uint8_t* block, std::size_t size) {
    if (block == nullptr || size < kGroupHeaderSize || recordsFit(block, size, kValueRecordSize)) {
        return kValueRecordSize;
    }
    return recordsFit(block, size, kWideValueRecordSize) ? kWideValueRecordSize : kValueRecordSize;
}

DataChangeBlock decodeDataChangeBlock(const std::uint8_t* block, std::size_t size) {
    DataChangeBlock decoded;
    if (block == nullptr || size < kGroupHeaderSize) {
        decoded.headerMissing = true;
        return decoded;
    }
    const std::uint32_t count = readDword(block + 4);
    decoded.hrStatus = static_cast<std::int32_t>(readDword(block + 16));
    if (decoded.hrStatus < 0) {
        return decoded;
    }
    const std::size_t width = recordWidthOf(block, size);
    decoded.recordWidth = width;
    // Every header may point at the same text: what one block decodes to is
    // bounded by the block's own size, not by its item count times its texts.
    std::size_t textBytes = 0;
    for (std::uint32_t k = 0; k < count; ++k) {
        const std::size_t header = kGroupHeaderSize + kItemHeaderSize * static_cast<std::size_t>(k);
        if (!inside(header, kItemHeaderSize, size)) {
            decoded.badItem = static_cast<long>(k);
            break;
        }
        StreamItem item;
        item.clientHandle = readDword(block + header);
        const std::size_t valueOffset = readDword(block + header + 4);
        item.quality = readWord(block + header + 8);
        item.reservedWord = readWord(block + header + 10);
        if (!inside(valueOffset, width, size)) {
            decoded.badItem = static_cast<long>(k);
            break;
        }
        // The record: the type word, then the 8-byte value; a decimal fills
        // it with its scale, sign, high and low parts.
        const std::uint8_t* record = block + valueOffset;
        item.type = readWord(record);
        item.plain.bits = readQword(record + 8);
        if (item.type == kTypeDecimal) {
            item.plain.scale = record[2];
            item.plain.sign = record[3];
            item.plain.high = readDword(record + 4);
        }
        if (item.type == kTypeBstr) {
            if (!inside(valueOffset + width, 4, size)) {
                decoded.badItem = static_cast<long>(k);
                break;
            }
            const std::size_t bytes = readDword(block + valueOffset + width);
            const std::size_t textOffset = valueOffset + width + 4;
            if (!inside(textOffset, bytes, size) || bytes > size - textBytes) {
                decoded.badItem = static_cast<long>(k);
                break;
            }
            textBytes += bytes;
            item.text.resize(bytes / sizeof(char16_t));
            std::memcpy(item.text.data(), block + textOffset, item.text.size() * sizeof(char16_t));
        } else if ((item.type & kTypeArrayBit) != 0) {
            // Elements that do not fit leave the item as its type word alone.
            const std::optional<std::size_t> need = arrayDataSize(block, valueOffset, width, size);
            if (need && *need <= size - textBytes) {
                textBytes += *need;
                readArray(block, valueOffset + width, arrayHeaderSize(width), item.array.emplace());
            }
        }
        decoded.items.push_back(std::move(item));
    }
    return decoded;
}

}  // namespace korven
