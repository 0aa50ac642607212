#pragma once
// Decoding of one OPC DA 1.0 data-change block ("OPCSTMFORMATDATA") from its
// bytes: a pure function that never reads outside the block. Free of Windows
// headers, so the same source also builds on the host (tests/fuzz).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korven {

constexpr std::size_t kGroupHeaderSize = 20;
constexpr std::size_t kItemHeaderSize = 12;
constexpr std::size_t kValueRecordSize = 16;
// A 64-bit server that writes each value as its own VARIANT: 24 bytes, the
// type and the value at the same places as in the 16-byte record.
constexpr std::size_t kWideValueRecordSize = 24;

// The VARIANT type words the decoder itself tells apart.
constexpr std::uint16_t kTypeBstr = 8;  // VT_BSTR: a text follows the record
// VT_DECIMAL: the decimal fills the whole record, its first word where the
// type word stands elsewhere.
constexpr std::uint16_t kTypeDecimal = 14;
// VT_ARRAY: the server's SAFEARRAY record and the elements follow the value record.
constexpr std::uint16_t kTypeArrayBit = 0x2000;

// The elements of an array value as the server's SAFEARRAY holds them.
struct StreamArray {
    std::uint32_t elementSize = 0;
    // Elements and lower bound of each dimension, in the order the SAFEARRAY
    // record keeps them: the last dimension first.
    struct Bound {
        std::uint32_t elements = 0;
        std::int32_t lowerBound = 0;
    };
    std::vector<Bound> bounds;
    std::vector<std::uint8_t> data;  // the elements, packed as in the server's memory
    // Text elements (VT_BSTR arrays, which only the 2.0 callbacks carry), in
    // the order of `data` would be.
    std::vector<std::u16string> texts;
};

// A value of a type held as plain data, as both data paths give it: the
// 8 bytes of a number, currency, date, truth value or error code; a decimal
// has its low 64 bits there and its other parts beside them.
struct PlainValue {
    std::uint64_t bits = 0;
    std::uint8_t scale = 0;  // a decimal's
    std::uint8_t sign = 0;
    std::uint32_t high = 0;
};

// One item of a block, from the stream or from a callback.
struct StreamItem {
    std::uint32_t clientHandle = 0;
    std::uint16_t quality = 0;
    std::uint16_t reservedWord = 0;
    std::uint16_t type = 0;  // the VARIANT type word
    PlainValue plain;        // for the types held as plain data
    std::u16string text;     // VT_BSTR only: the text that follows the record
    // A 2.0 callback's error entry for the item; a failure carries no value.
    std::int32_t error = 0;
    // An array value's elements, when they lie wholly inside the block (else
    // only the type word tells what it was).
    std::optional<StreamArray> array;
};

struct DataChangeBlock {
    std::int32_t hrStatus = 0;
    std::vector<StreamItem> items;  // the items that lie wholly inside the block
    // Index of the first item header, value or text that would lie outside the
    // block, or whose text would bring the texts read past the block's size;
    // the items from there on are not read. -1 when the block is whole.
    long badItem = -1;
    bool headerMissing = false;                  // shorter than the group header: nothing read
    std::size_t recordWidth = kValueRecordSize;  // the width the block's values were read with
};

// Every block whose status is a success code (S_OK, or S_FALSE when some item
// is not of good quality) carries items; a failure code carries none.
DataChangeBlock decodeDataChangeBlock(const std::uint8_t* block, std::size_t size);

// The width of a block's value records, told by the block itself: the one of
// 16 and 24 bytes with which every value offset, text byte count and the
// header's total size agree; 16 when both or neither do.
std::size_t recordWidthOf(const std::uint8_t* block, std::size_t size);

}  // namespace korven
