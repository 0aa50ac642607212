#include "opc/ServerActivation.h"

namespace korven {
namespace {

ServerActivation gReplacement = nullptr;

HRESULT createInstance(REFCLSID clsid, IUnknown* outer, DWORD context, COSERVERINFO* serverInfo,
                       DWORD count, MULTI_QI* results) {
    return CoCreateInstanceEx(clsid, outer, context, serverInfo, count, results);
}

}  // namespace

ServerActivation serverActivation() {
    return gReplacement ? gReplacement : createInstance;
}

void replaceServerActivation(ServerActivation activation) {
    gReplacement = activation;
}

}  // namespace korven
