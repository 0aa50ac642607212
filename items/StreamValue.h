#pragma once
// The VARIANT that an item's plain value stands for.
#include <windows.h>

#include "items/DataChangeStream.h"

namespace korven {

// The VARIANT an item of a type the bridge holds as plain data stands for,
// built field by field (true), or nothing (false) for VT_BSTR and for every
// type it does not hold so.
bool plainValueOf(const StreamItem& item, VARIANT& out);

}  // namespace korven
