#pragma once
// The DDEML callback: finds the addressed topic and hands the transaction to
// its topic group.
#include <windows.h>
#include <ddeml.h>

namespace korven {

HDDEDATA CALLBACK ddeCallback(UINT type, UINT format, HCONV conversation, HSZ topic, HSZ item,
                              HDDEDATA data, ULONG_PTR data1, ULONG_PTR data2);

}  // namespace korven
