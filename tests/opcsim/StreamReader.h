// Test-side reader of the "OPCSTMFORMATDATA" block, with bounds checks.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

struct ReadItem {
    DWORD hClient = 0;
    WORD quality = 0;
    WORD reserved = 0;
    WORD vt = 0;
    uint8_t record[16] = {};
    std::wstring text;              // VT_BSTR only
    std::vector<uint8_t> elements;  // VT_ARRAY only: the packed elements
};

struct ReadBlock {
    DWORD size = 0;
    DWORD hClientGroup = 0;
    DWORD transactionId = 0;
    HRESULT hrStatus = S_OK;
    std::vector<ReadItem> items;
};

inline std::optional<ReadBlock> readBlock(const std::vector<uint8_t>& b) {
    auto u32 = [&](size_t at) {
        uint32_t v;
        std::memcpy(&v, b.data() + at, 4);
        return v;
    };
    if (b.size() < 20) {
        return std::nullopt;
    }
    ReadBlock block;
    block.size = u32(0);
    const DWORD count = u32(4);
    block.hClientGroup = u32(8);
    block.transactionId = u32(12);
    block.hrStatus = static_cast<HRESULT>(u32(16));
    if (block.size != b.size() || 20 + 12ull * count > b.size()) {
        return std::nullopt;
    }
    for (DWORD k = 0; k < count; ++k) {
        ReadItem item;
        const size_t h = 20 + 12 * k;
        item.hClient = u32(h);
        const uint32_t offset = u32(h + 4);
        std::memcpy(&item.quality, b.data() + h + 8, 2);
        std::memcpy(&item.reserved, b.data() + h + 10, 2);
        if (offset + 16ull > b.size()) {
            return std::nullopt;
        }
        std::memcpy(item.record, b.data() + offset, 16);
        std::memcpy(&item.vt, item.record, 2);
        if (item.vt == VT_BSTR) {
            if (offset + 20ull > b.size()) {
                return std::nullopt;
            }
            const uint32_t bytes = u32(offset + 16);
            if (offset + 20ull + bytes > b.size() || bytes % 2) {
                return std::nullopt;
            }
            item.text.assign(reinterpret_cast<const wchar_t*>(b.data() + offset + 20), bytes / 2);
        } else if (item.vt & VT_ARRAY) {
            if (offset + 20ull > b.size()) {
                return std::nullopt;
            }
            const uint32_t bytes = u32(offset + 16);
            if (offset + 20ull + bytes > b.size()) {
                return std::nullopt;
            }
            item.elements.assign(b.begin() + offset + 20, b.begin() + offset + 20 + bytes);
        }
        block.items.push_back(item);
    }
    return block;
}
