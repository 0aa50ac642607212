#pragma once
// Creation of an OPC server object: CoCreateInstanceEx, behind a seam so the
// arguments of the remote branch can be checked where no remote DCOM exists.
#include <windows.h>
#include <objbase.h>

namespace korven {

using ServerActivation = HRESULT (*)(REFCLSID clsid, IUnknown* outer, DWORD context,
                                     COSERVERINFO* serverInfo, DWORD count, MULTI_QI* results);

ServerActivation serverActivation();
// Tests only: null restores CoCreateInstanceEx.
void replaceServerActivation(ServerActivation activation);

}  // namespace korven
