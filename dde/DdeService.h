#pragma once
// Registration of the DDE service "KORVEN" and its withdrawal at exit; the
// string handles of the service name and of the System topic live as long.
#include <windows.h>
#include <ddeml.h>

namespace korven {

// DDEML initialisation, the string handles of the service and the System
// topic, and the service name; each failure writes its error line and returns
// false at once.
bool registerDdeService();
// Frees the two string handles, withdraws every service name, uninitialises
// DDEML. Steps whose object was never made do nothing.
void unregisterDdeService();

// Null before registration and after teardown.
HSZ ddeServiceHandle();
HSZ systemTopicHandle();

}  // namespace korven
