#pragma once
// What a DDE client receives for an item: its value as text, or a marker
// text beginning with "#"; in the ANSI code page for CF_TEXT, as UTF-16 for
// CF_UNICODETEXT. Every text reply of the bridge is made here.
#include <windows.h>
#include <ddeml.h>

#include <optional>
#include <string>

#include "common/SharedText.h"
#include "config/ArraysSetting.h"
#include "config/QualitySetting.h"
#include "items/ItemEntry.h"

namespace korven {

// Sent for a request on an item that no conversation has linked.
constexpr char kNothingText[] = "#NOTHING";

// Sent for every item of a topic whose server cannot be counted on, where the
// topic marks it (Quality=mark or strict).
constexpr char kOfflineText[] = "#OFFLINE";

// How a topic's values read: its Quality and Arrays keys.
struct ReplyRules {
    QualityMarks quality = QualityMarks::Hide;
    ArrayTexts arrays = ArrayTexts::Error;
};

// The reply text of an entry: the add error, the data error, the type error,
// "#EMPTY", the quality's marker where the rules want one, the value text or
// "(null)". Raises _com_error when the value has no text form.
SharedText replyText(const ItemEntry& entry, const ReplyRules& rules = {});

// The marker that stands for a value of `quality` under `marks`: "#BAD(q)"
// for bad quality (and the reserved class) where the topic marks, and
// "#UNCERTAIN(q)" for uncertain quality where it is strict; q the whole
// quality word in decimal. Nothing where the value reads as itself.
std::optional<std::string> qualityMarker(WORD quality, QualityMarks marks);

// The text of a value that is not an array, as a reply has it: a string up to
// its first NUL, any other type as VariantChangeType makes it; "(null)" for
// an empty text. Raises _com_error when the value has no text form.
std::wstring scalarText(const VARIANT& value);

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
