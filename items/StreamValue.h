#pragma once
// The VARIANT that a data-change value record stands for.
#include <windows.h>

#include <cstdint>

namespace korven {

// The VARIANT a 16-byte value record stands for, built field by field: the
// types the bridge copies as plain values (true), or nothing (false) for
// VT_BSTR and for every type it does not copy.
bool plainValueFromRecord(const std::uint8_t* record, VARIANT& out);

}  // namespace korven
