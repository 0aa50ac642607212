// /RegServer and /UnregServer: the class, its ProgIDs (its own and, unless
// asked not to, the bridge's default "Velmora.Ctrl9.1") and the OPC DA 1.0
// server category.
#pragma once

#include <string>

namespace opcsim {

inline constexpr wchar_t kProgId[] = L"Korven.OpcSim.1";
inline constexpr wchar_t kVersionIndependentProgId[] = L"Korven.OpcSim";
inline constexpr wchar_t kBridgeDefaultProgId[] = L"Velmora.Ctrl9.1";

// Returns an error text, or empty on success. With ownProgIdsOnly the
// bridge's default ProgID is left alone: on a plant computer it names the
// real server.
std::wstring registerServer(const std::wstring& exePath, bool ownProgIdsOnly);
std::wstring unregisterServer();

}  // namespace opcsim
