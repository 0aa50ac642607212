#include "dde/DdeService.h"

#include "common/ConsoleLog.h"
#include "dde/DdeCallback.h"
#include "dde/DdeInstance.h"

namespace korven {
namespace {

HSZ gServiceHandle = nullptr;

}  // namespace

bool registerDdeService() {
    DdeInstance& dde = ddeInstance();
    if (dde.initialize(ddeCallback, CBF_SKIP_CONNECT_CONFIRMS) != DMLERR_NO_ERROR) {
        logError(L"ＤＤＥＭＬへの登録に失敗。");
        return false;
    }
    gServiceHandle = dde.createStringHandle("KORVEN", CP_WINANSI);
    if (gServiceHandle == nullptr) {
        logError(L"ＤＤＥサービスハンドルの作成に失敗。");
        return false;
    }
    if (dde.nameService(gServiceHandle, nullptr, DNS_REGISTER) == nullptr) {
        logError(L"ＤＤＥサービスの登録に失敗。");
        return false;
    }
    return true;
}

void unregisterDdeService() {
    DdeInstance& dde = ddeInstance();
    if (dde.id() == 0) {
        return;
    }
    if (gServiceHandle != nullptr) {
        dde.freeStringHandle(gServiceHandle);
        gServiceHandle = nullptr;
    }
    dde.nameService(nullptr, nullptr, DNS_UNREGISTER);
    dde.uninitialize();
}

}  // namespace korven
