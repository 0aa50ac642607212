// The OPC DA 1.0 data-change stream ("OPCSTMFORMATDATA"), as the server
// writes it into the global memory block of IAdviseSink::OnDataChange:
//
//   group header    20 bytes: dwSize, dwItemCount, hClientGroup,
//                   dwTransactionID, hrStatus
//   item headers    12 bytes each: hClient, dwValueOffset, wQuality, wReserved
//   values          a 16-byte record per item: type word at +0, three zero
//                   words, the 8-byte payload at +8 (VT_DECIMAL fills all 16
//                   bytes, its reserved word standing where the type word
//                   stands). VT_BSTR: record (payload 0), then the byte count
//                   (4 bytes), the UTF-16 text and a NUL not counted.
//                   Arrays: record (payload 0), then the array's SAFEARRAY
//                   record as it lies in the server's memory: cDims (2),
//                   fFeatures (2), cbElements (4), cLocks (4), pvData (4),
//                   then rgsabound, one bound per dimension (cElements 4,
//                   lLbound 4) with the last dimension first, as Windows
//                   keeps them; then the elements packed as they lie in
//                   pvData, the first index running fastest. An array of no
//                   element ends after its bounds. Arrays of texts or
//                   VARIANTs never come here: their elements are pointers,
//                   and the scenario keeps them to servers without the stream.
//
// Records are written field by field: a VARIANT is 24 bytes on x64. A server
// may be set to write 24-byte records as 64-bit servers do (each value its own
// VARIANT): the same fields, eight zero bytes more, the text's byte count at
// record + 24, and an array's SAFEARRAY record 24 bytes (four zero bytes
// before an 8-byte pvData at +16), its bounds from +24.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

namespace opcsim {

struct StreamItem {
    DWORD hClient = 0;
    WORD quality = 0;
    WORD reserved = 0;
    const VARIANT* value = nullptr;
};

std::vector<uint8_t> encodeDataChange(DWORD hClientGroup, DWORD transactionId, HRESULT hrStatus,
                                      const std::vector<StreamItem>& items, size_t recordSize = 16);

// The block status real servers write: S_FALSE when any item of the block is
// not of good quality (quality bits 0xC0 other than good), else S_OK.
HRESULT blockStatusOf(const std::vector<StreamItem>& items);

// Size of the payload copied from the VARIANT for a scalar type (0 for types
// whose record carries no payload).
size_t payloadSize(VARTYPE vt);

}  // namespace opcsim
