#pragma once
// The eight arguments of one DDEML callback, handed unchanged to the topic
// group's operations.
#include <windows.h>
#include <ddeml.h>

namespace korven {

struct DdeTransaction {
    UINT type = 0;
    UINT format = 0;
    HCONV conversation = nullptr;
    HSZ topic = nullptr;
    HSZ item = nullptr;
    HDDEDATA data = nullptr;
    ULONG_PTR data1 = 0;
    ULONG_PTR data2 = 0;
};

}  // namespace korven
