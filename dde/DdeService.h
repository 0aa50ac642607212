#pragma once
// Registration of the DDE service "KORVEN" and its withdrawal at exit.

namespace korven {

// DDEML initialisation, the service string handle and the service name; each
// failure writes its error line and returns false at once.
bool registerDdeService();
// Frees the service handle, withdraws every service name, uninitialises
// DDEML. Steps whose object was never made do nothing.
void unregisterDdeService();

}  // namespace korven
