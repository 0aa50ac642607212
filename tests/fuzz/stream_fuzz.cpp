// Fuzz target: data-change blocks as any OPC server (or anything posing as
// one) may write them. Beyond "no crash" under the sanitizers, every decoded
// record is checked against the block's own bytes and bounds.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "items/DataChangeStream.h"

namespace {

using korven::DataChangeBlock;
using korven::StreamItem;

std::uint32_t dword(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

std::uint16_t word(const std::uint8_t* p) {
    std::uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

[[noreturn]] void fail(const char* what, std::size_t at) {
    std::fprintf(stderr, "stream_fuzz: %s (item %zu)\n", what, at);
    std::abort();
}

void check(bool ok, const char* what, std::size_t at = 0) {
    if (!ok) {
        fail(what, at);
    }
}

bool inside(std::size_t offset, std::size_t length, std::size_t size) {
    return offset <= size && length <= size - offset;
}

bool sameItem(const StreamItem& a, const StreamItem& b) {
    return a.clientHandle == b.clientHandle && a.quality == b.quality &&
           a.reservedWord == b.reservedWord && a.type == b.type && a.plain.bits == b.plain.bits &&
           a.plain.scale == b.plain.scale && a.plain.sign == b.plain.sign &&
           a.plain.high == b.plain.high && a.text == b.text;
}

// Each decoded item k is header k of the block, its value record and text lie
// inside the block, and it carries exactly those bytes.
void checkItem(const std::uint8_t* data, std::size_t size, std::size_t width, std::size_t k,
               const StreamItem& item) {
    const std::size_t header = korven::kGroupHeaderSize + korven::kItemHeaderSize * k;
    check(inside(header, korven::kItemHeaderSize, size), "item header outside the block", k);
    check(item.clientHandle == dword(data + header), "client handle", k);
    check(item.quality == word(data + header + 8), "quality", k);
    check(item.reservedWord == word(data + header + 10), "reserved word", k);
    const std::size_t value = dword(data + header + 4);
    check(inside(value, width, size), "value record outside the block", k);
    std::uint64_t bits = 0;
    std::memcpy(&bits, data + value + 8, 8);
    check(item.plain.bits == bits, "the value's bytes", k);
    check(item.type == word(data + value), "type word", k);
    if (item.type != korven::kTypeBstr) {
        check(item.text.empty(), "text on a value that is not a string", k);
        return;
    }
    check(inside(value + width, 4, size), "text byte count outside the block", k);
    const std::size_t bytes = dword(data + value + width);
    check(inside(value + width + 4, bytes, size), "text outside the block", k);
    check(item.text.size() == bytes / 2, "text length is not its byte count / 2", k);
    check(std::memcmp(item.text.data(), data + value + width + 4, item.text.size() * 2) == 0,
          "text bytes", k);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const DataChangeBlock block = korven::decodeDataChangeBlock(data, size);

    if (size < korven::kGroupHeaderSize) {
        check(block.headerMissing && block.items.empty(), "short block decoded");
        return 0;
    }
    check(!block.headerMissing, "whole header called missing");
    check(block.hrStatus == static_cast<std::int32_t>(dword(data + 16)), "status");
    check(block.recordWidth == korven::kValueRecordSize ||
              block.recordWidth == korven::kWideValueRecordSize,
          "record width");
    if (block.hrStatus < 0) {
        check(block.items.empty() && block.badItem == -1, "items in a failed block");
        return 0;
    }
    check(block.recordWidth == korven::recordWidthOf(data, size), "record width told twice");

    // Memory bounded by the block: headers cannot outnumber the room for them,
    // and no more text comes out than the block holds.
    check(block.items.size() <= (size - korven::kGroupHeaderSize) / korven::kItemHeaderSize,
          "more items than headers fit");
    const std::uint32_t count = dword(data + 4);
    if (block.badItem < 0) {
        check(block.items.size() == count, "whole block with items missing");
    } else {
        check(static_cast<std::size_t>(block.badItem) == block.items.size() &&
                  block.items.size() < count,
              "bad item is not where the items stop");
    }
    std::size_t textBytes = 0;
    for (std::size_t k = 0; k < block.items.size(); ++k) {
        checkItem(data, size, block.recordWidth, k, block.items[k]);
        textBytes += block.items[k].text.size() * 2;
    }
    check(textBytes <= size, "more text than the block holds");

    // Pure: the same bytes decode to the same records.
    const DataChangeBlock again = korven::decodeDataChangeBlock(data, size);
    check(again.hrStatus == block.hrStatus && again.badItem == block.badItem &&
              again.recordWidth == block.recordWidth && again.items.size() == block.items.size(),
          "second decode differs");
    for (std::size_t k = 0; k < block.items.size(); ++k) {
        check(sameItem(again.items[k], block.items[k]), "second decode differs", k);
    }
    return 0;
}
