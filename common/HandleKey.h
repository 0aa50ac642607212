#pragma once
// DDE handles as keys: ordered by their value taken as an unsigned 32-bit
// number. String handles are atoms, so the 32-bit value is the whole handle.
#include <windows.h>
#include <ddeml.h>

#include <cstdint>

namespace korven {

using HandleKey = std::uint32_t;

inline HandleKey keyOf(HSZ handle) {
    return static_cast<HandleKey>(reinterpret_cast<UINT_PTR>(handle));
}
inline HandleKey keyOf(HCONV handle) {
    return static_cast<HandleKey>(reinterpret_cast<UINT_PTR>(handle));
}
inline HSZ stringHandleOf(HandleKey key) {
    return reinterpret_cast<HSZ>(static_cast<UINT_PTR>(key));
}

}  // namespace korven
