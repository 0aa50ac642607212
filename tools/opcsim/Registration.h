// /RegServer and /UnregServer: every class of this build (ServerClass.h),
// its ProgIDs (its own and, unless asked not to, the bridge's default
// "Velmora.Ctrl9.1" for the class that takes it) and the OPC DA server
// category.
#pragma once

#include <string>

namespace opcsim {

// Returns an error text, or empty on success. With ownProgIdsOnly the
// bridge's default ProgID is left alone: on a plant computer it names the
// real server.
std::wstring registerServer(const std::wstring& exePath, bool ownProgIdsOnly);
std::wstring unregisterServer();

}  // namespace opcsim
