#include "dde/DdeService.h"

#include "common/ConsoleLog.h"
#include "dde/DdeCallback.h"
#include "dde/DdeInstance.h"

namespace korven {
namespace {

HSZ gServiceHandle = nullptr;
HSZ gSystemTopicHandle = nullptr;

void freeHandle(DdeInstance& dde, HSZ& handle) {
    if (handle != nullptr) {
        dde.freeStringHandle(handle);
        handle = nullptr;
    }
}

}  // namespace

bool registerDdeService() {
    DdeInstance& dde = ddeInstance();
    if (dde.initialize(ddeCallback, CBF_SKIP_CONNECT_CONFIRMS) != DMLERR_NO_ERROR) {
        logError(L"ＤＤＥＭＬへの登録に失敗。");
        return false;
    }
    gServiceHandle = dde.createStringHandle("KORVEN", CP_WINANSI);
    if (gServiceHandle != nullptr) {
        gSystemTopicHandle = dde.createStringHandle("System", CP_WINANSI);
    }
    if (gServiceHandle == nullptr || gSystemTopicHandle == nullptr) {
        logError(L"ＤＤＥサービスハンドルの作成に失敗。");
        return false;
    }
    if (dde.nameService(gServiceHandle, nullptr, DNS_REGISTER) == nullptr) {
        logError(L"ＤＤＥサービスの登録に失敗。");
        return false;
    }
    return true;
}

HSZ ddeServiceHandle() {
    return gServiceHandle;
}

HSZ systemTopicHandle() {
    return gSystemTopicHandle;
}

void unregisterDdeService() {
    DdeInstance& dde = ddeInstance();
    if (dde.id() == 0) {
        return;
    }
    freeHandle(dde, gServiceHandle);
    freeHandle(dde, gSystemTopicHandle);
    dde.nameService(nullptr, nullptr, DNS_UNREGISTER);
    dde.uninitialize();
}

}  // namespace korven
