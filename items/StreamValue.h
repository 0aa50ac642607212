#pragma once
// The VARIANT that an item's plain value stands for.
#include <windows.h>

#include "items/DataChangeStream.h"

namespace korven {

// True for the types held as plain data: numbers, currency, date, truth
// value, error code, decimal.
bool isPlainValueType(VARTYPE type);

// The VARIANT an item of a type the bridge holds as plain data stands for,
// built field by field (true), or nothing (false) for VT_BSTR and for every
// type it does not hold so.
bool plainValueOf(const StreamItem& item, VARIANT& out);

}  // namespace korven
