#pragma once
// What a DDE client receives for an item: its value as text, or a marker
// text beginning with "#"; in the ANSI code page for CF_TEXT, as UTF-16 for
// CF_UNICODETEXT. Every text reply of the bridge is made here.
#include <windows.h>
#include <ddeml.h>

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

// The formats a request is answered in: CF_TEXT and CF_UNICODETEXT. A request
// in any other format gets no data, so the client goes on to its next format.
bool isTextReplyFormat(UINT format);

// A data handle with the text in `format`: its ANSI bytes for CF_TEXT, its
// wide text for CF_UNICODETEXT, each with the terminating NUL. Null for any
// other format and when DDEML makes no handle. Raises _com_error when the
// ANSI copy cannot be made.
HDDEDATA textReplyHandle(const SharedText& text, HSZ item, UINT format);

}  // namespace korven
