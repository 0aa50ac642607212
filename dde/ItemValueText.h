#pragma once
// What a DDE client receives for an item: its value as text in the ANSI code
// page, or a marker text beginning with "#".
#include <windows.h>

#include <string>

#include "common/SharedText.h"
#include "items/ItemEntry.h"

namespace korven {

// Sent for a request on an item that no conversation has linked.
constexpr char kNothingText[] = "#NOTHING";

// The reply text of an entry: the add error, the data error, "#EMPTY", the
// value text or "(null)". Raises _com_error when the value has no text form.
SharedText replyText(const ItemEntry& entry);

// The marker sent when the value or its text cannot be made: "#ERR:TEXT(hr)".
std::string textErrorMarker(HRESULT hr);

}  // namespace korven
