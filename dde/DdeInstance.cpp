#include "dde/DdeInstance.h"

#include "common/ThreadAffinity.h"

namespace korven {
namespace {

DdeInstance gProcessInstance;
DdeInstance* gReplacement = nullptr;

}  // namespace

DdeInstance::~DdeInstance() {
    if (id_ != 0) {
        DdeUninitialize(id_);
        id_ = 0;
    }
}

UINT DdeInstance::initialize(PFNCALLBACK callback, DWORD commandFlags) {
    return DdeInitializeA(&id_, callback, commandFlags, 0);
}

BOOL DdeInstance::uninitialize() {
    const BOOL result = DdeUninitialize(id_);
    id_ = 0;
    return result;
}

HSZ DdeInstance::createStringHandle(const char* text, int codePage) {
    return DdeCreateStringHandleA(id_, text, codePage);
}

BOOL DdeInstance::freeStringHandle(HSZ handle) {
    return DdeFreeStringHandle(id_, handle);
}

BOOL DdeInstance::keepStringHandle(HSZ handle) {
    return DdeKeepStringHandle(id_, handle);
}

HDDEDATA DdeInstance::nameService(HSZ service, HSZ reserved, UINT command) {
    return DdeNameService(id_, service, reserved, command);
}

DWORD DdeInstance::queryString(HSZ handle, wchar_t* buffer, DWORD chars, int codePage) {
    return DdeQueryStringW(id_, handle, buffer, chars, codePage);
}

HDDEDATA DdeInstance::createDataHandle(const BYTE* data, DWORD length, DWORD offset, HSZ item,
                                       UINT format, UINT commandFlags) {
    return DdeCreateDataHandle(id_, const_cast<BYTE*>(data), length, offset, item, format,
                               commandFlags);
}

BOOL DdeInstance::postAdvise(HSZ topic, HSZ item) {
    return DdePostAdvise(id_, topic, item);
}

bool DdeInstance::partnerAlive(HCONV conversation) {
    CONVINFO info{};
    info.cb = sizeof info;
    if (DdeQueryConvInfo(conversation, QID_SYNC, &info) == 0) {
        return false;
    }
    return IsWindow(info.hwndPartner) != FALSE;
}

HSZ DdeInstance::conversationTopic(HCONV conversation) {
    CONVINFO info{};
    info.cb = sizeof info;
    if (DdeQueryConvInfo(conversation, QID_SYNC, &info) == 0) {
        return nullptr;
    }
    return info.hszTopic;
}

DdeInstance& ddeInstance() {
    checkMainThread("the DDEML instance");
    return gReplacement ? *gReplacement : gProcessInstance;
}

void replaceDdeInstance(DdeInstance* replacement) {
    gReplacement = replacement;
}

}  // namespace korven
