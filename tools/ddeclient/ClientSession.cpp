#include "ClientSession.h"

#include <cstdio>
#include <optional>

#include "ClipboardFormat.h"
#include "DataText.h"
#include "DdeErrorName.h"
#include "DdeHandles.h"
#include "OutputSink.h"
#include "TextEscape.h"
#include "WineRequestAck.h"
#include "WineUpdateHold.h"

namespace ddetool {

namespace {

ClientSession* g_session = nullptr;

// How long a request waits for Wine's trailing acknowledgement (see
// WineRequestAck.h); it normally arrives together with the data.
constexpr DWORD kTrailingAckMs = 1000;

// "*" stands for a null name (a wildcard).
const wchar_t* nameOrNull(const std::wstring& name) {
    return name == L"*" ? nullptr : name.c_str();
}

std::string nameField(const std::wstring& name) {
    return fieldText(name);
}

std::string itemFields(const std::wstring& item) {
    return "item=" + fieldText(item) + " itemhex=" + hexBytes(toUtf8(item));
}

std::string convField(int index) {
    return "conv=" + std::to_string(index);
}

}  // namespace

ClientSession::ClientSession(InputPump& pump) : pump_(pump) {
    g_session = this;
}

ClientSession::~ClientSession() {
    if (instance_ != 0) {
        for (Conversation& c : conversations_) {
            if (c.open) {
                DdeDisconnect(c.handle);
                c.open = false;
            }
        }
        for (HCONVLIST list : lists_) {
            DdeDisconnectList(list);
        }
        DdeUninitialize(instance_);
        instance_ = 0;
    }
    g_session = nullptr;
}

UINT ClientSession::initialize() {
    return DdeInitializeW(&instance_, &ClientSession::callback,
                          APPCMD_CLIENTONLY | CBF_SKIP_REGISTRATIONS | CBF_SKIP_UNREGISTRATIONS, 0);
}

HDDEDATA CALLBACK ClientSession::callback(UINT type, UINT format, HCONV conv, HSZ, HSZ item,
                                          HDDEDATA data, ULONG_PTR, ULONG_PTR) {
    if (g_session == nullptr) {
        return nullptr;
    }
    return g_session->onTransaction(type, format, conv, item, data);
}

HDDEDATA ClientSession::onTransaction(UINT type, UINT format, HCONV conv, HSZ item, HDDEDATA data) {
    Conversation* c = find(conv);
    const std::string conversation = convField(c ? c->index : 0);
    switch (type) {
        case XTYP_ADVDATA: {
            const std::wstring name = queryString(instance_, item);
            if (data == nullptr) {
                writeLine("NOTIFY " + conversation + " " + itemFields(name) +
                          " fmt=" + std::to_string(format));
            } else {
                const DataAccess access(data);
                writeLine("DATA " + conversation + " " + itemFields(name) + " fmt=" +
                          std::to_string(format) + " " + dataFields(access.copy(), format));
            }
            return reinterpret_cast<HDDEDATA>(static_cast<ULONG_PTR>(DDE_FACK));
        }
        case XTYP_DISCONNECT:
            if (c != nullptr && c->open) {
                c->open = false;
                writeLine("DISCONNECTED " + conversation);
            }
            return nullptr;
        default:
            return nullptr;
    }
}

void ClientSession::checkPartners() {
    for (Conversation& c : conversations_) {
        if (!c.open) {
            continue;
        }
        CONVINFO info{};
        info.cb = sizeof info;
        if (DdeQueryConvInfo(c.handle, QID_SYNC, &info) == 0 ||
            (info.wStatus & ST_CONNECTED) == 0 || (info.wStatus & ST_TERMINATED) != 0) {
            c.open = false;
            writeLine("DISCONNECTED " + convField(c.index));
        }
    }
}

bool ClientSession::run(const Command& c) {
    checkPartners();
    switch (c.op) {
        case Op::Connect:
            return connect(c);
        case Op::ConnectList:
            return connectList(c);
        case Op::Use:
            return use(c);
        case Op::Request:
            return request(c);
        case Op::Advise:
            return advise(c, true);
        case Op::Unadvise:
            return advise(c, false);
        case Op::Poke:
            return poke(c);
        case Op::Execute:
            return execute(c);
        case Op::Disconnect:
            return disconnect();
        case Op::Wait:
            pump_.wait(c.number);
            writeLine("WAIT OK ms=" + std::to_string(c.number));
            return true;
        case Op::Timeout:
            timeoutMs_ = c.number;
            writeLine("TIMEOUT OK ms=" + std::to_string(c.number));
            return true;
        case Op::Echo:
            writeLine("ECHO text=" + escape(toUtf8(c.first), false));
            return true;
        case Op::Atoms:
            listGlobalAtoms();
            return true;
        case Op::Stdin:
            return true;
    }
    return false;
}

void ClientSession::listGlobalAtoms() {
    // DDE names travel as global atoms: a name that outlives every message
    // and link holding it is a reference someone never gave back.
    constexpr UINT kFirstStringAtom = 0xC000;
    constexpr UINT kLastAtom = 0xFFFF;
    int count = 0;
    for (UINT value = kFirstStringAtom; value <= kLastAtom; ++value) {
        wchar_t name[256] = {};
        if (GlobalGetAtomNameW(static_cast<ATOM>(value), name, 256) == 0) {
            continue;
        }
        ++count;
        char hex[16] = {};
        std::snprintf(hex, sizeof hex, "0x%04X", value);
        writeLine(std::string("ATOM value=") + hex + " name=" + nameField(name));
    }
    writeLine("ATOMS OK count=" + std::to_string(count));
}

ClientSession::Conversation* ClientSession::find(HCONV handle) {
    for (Conversation& c : conversations_) {
        if (c.handle == handle && handle != nullptr) {
            return &c;
        }
    }
    return nullptr;
}

ClientSession::Conversation* ClientSession::find(int index) {
    if (index < 1 || index > static_cast<int>(conversations_.size())) {
        return nullptr;
    }
    return &conversations_[static_cast<std::size_t>(index - 1)];
}

ClientSession::Conversation* ClientSession::currentOr(const char* word) {
    Conversation* c = find(current_);
    if (c == nullptr || !c->open) {
        writeLine(std::string(word) + " FAIL " + convField(current_) + " reason=no-conversation");
        return nullptr;
    }
    return c;
}

int ClientSession::add(HCONV handle) {
    Conversation c;
    c.index = static_cast<int>(conversations_.size()) + 1;
    c.handle = handle;
    c.open = true;
    conversations_.push_back(c);
    return c.index;
}

std::string ClientSession::partnerFields(HCONV handle) {
    CONVINFO info{};
    info.cb = sizeof info;
    if (DdeQueryConvInfo(handle, QID_SYNC, &info) == 0) {
        return "service=? topic=?";
    }
    return "service=" + nameField(queryString(instance_, info.hszSvcPartner)) +
           " topic=" + nameField(queryString(instance_, info.hszTopic));
}

bool ClientSession::connect(const Command& c) {
    const std::string asked = "service=" + nameField(c.first) + " topic=" + nameField(c.second);
    const StringHandle service(instance_, nameOrNull(c.first));
    const StringHandle topic(instance_, nameOrNull(c.second));
    if (nameOrNull(c.first) && !service.get()) {
        writeLine("CONNECT FAIL " + asked + " reason=service-name");
        return false;
    }
    if (nameOrNull(c.second) && !topic.get()) {
        writeLine("CONNECT FAIL " + asked + " reason=topic-name");
        return false;
    }
    const HCONV conv = DdeConnect(instance_, service.get(), topic.get(), nullptr);
    if (conv == nullptr) {
        writeLine("CONNECT FAIL " + asked + " " + dmlErrorField(DdeGetLastError(instance_)));
        return false;
    }
    current_ = add(conv);
    writeLine("CONNECT OK " + convField(current_) + " " + partnerFields(conv));
    return true;
}

bool ClientSession::connectList(const Command& c) {
    const std::string asked = "service=" + nameField(c.first) + " topic=" + nameField(c.second);
    const StringHandle service(instance_, nameOrNull(c.first));
    const StringHandle topic(instance_, nameOrNull(c.second));
    if (nameOrNull(c.first) && !service.get()) {
        writeLine("CONNECTLIST FAIL " + asked + " reason=service-name");
        return false;
    }
    if (nameOrNull(c.second) && !topic.get()) {
        writeLine("CONNECTLIST FAIL " + asked + " reason=topic-name");
        return false;
    }
    const HCONVLIST list = DdeConnectList(instance_, service.get(), topic.get(), nullptr, nullptr);
    if (list == nullptr) {
        const UINT error = DdeGetLastError(instance_);
        if (error != DMLERR_NO_ERROR && error != DMLERR_NO_CONV_ESTABLISHED) {
            writeLine("CONNECTLIST FAIL " + asked + " " + dmlErrorField(error));
            return false;
        }
        writeLine("CONNECTLIST OK count=0 " + asked);
        return true;
    }
    lists_.push_back(list);
    int count = 0;
    int first = 0;
    for (HCONV conv = DdeQueryNextServer(list, nullptr); conv != nullptr;
         conv = DdeQueryNextServer(list, conv)) {
        const int index = add(conv);
        if (first == 0) {
            first = index;
        }
        ++count;
        writeLine("OFFER " + convField(index) + " " + partnerFields(conv));
    }
    if (first != 0) {
        current_ = first;
    }
    writeLine("CONNECTLIST OK count=" + std::to_string(count) + " " + asked);
    return true;
}

bool ClientSession::use(const Command& c) {
    const int index = static_cast<int>(c.number);
    Conversation* conv = find(index);
    if (conv == nullptr || !conv->open) {
        writeLine("USE FAIL " + convField(index) + " reason=no-such-conversation");
        return false;
    }
    current_ = index;
    writeLine("USE OK " + convField(index));
    return true;
}

std::optional<ClientSession::ItemTarget> ClientSession::itemTarget(const char* word,
                                                                   const Command& c,
                                                                   const std::string& head) {
    const std::optional<UINT> format = resolveClipboardFormat(c.format);
    if (!format) {
        writeLine(std::string(word) + " FAIL " + head + " reason=bad-format");
        return std::nullopt;
    }
    ItemTarget target{*format, head + " fmt=" + std::to_string(*format),
                      StringHandle(instance_, c.first.c_str())};
    if (!target.item.get()) {
        writeLine(std::string(word) + " FAIL " + target.fields + " reason=item-name");
        return std::nullopt;
    }
    return target;
}

HDDEDATA ClientSession::transact(HCONV conversation, LPBYTE data, DWORD size, HSZ item, UINT format,
                                 UINT type, DWORD* result, UINT* error) {
    const UpdateHold hold(conversation);
    const HDDEDATA answer =
        DdeClientTransaction(data, size, conversation, item, format, type, timeoutMs_, result);
    *error = DdeGetLastError(instance_);
    return answer;
}

bool ClientSession::request(const Command& c) {
    Conversation* conv = currentOr("REQUEST");
    if (conv == nullptr) {
        return false;
    }
    const std::optional<ItemTarget> target =
        itemTarget("REQUEST", c, convField(conv->index) + " " + itemFields(c.first));
    if (!target) {
        return false;
    }
    DWORD result = 0;
    UINT error = DMLERR_NO_ERROR;
    const DataHandle data(transact(conv->handle, nullptr, 0, target->item.get(), target->format,
                                   XTYP_REQUEST, &result, &error));
    if (data.get() == nullptr) {
        writeLine("REQUEST FAIL " + target->fields + " " + dmlErrorField(error));
        return false;
    }
    std::string bytes;
    {
        const DataAccess access(data.get());
        bytes = access.copy();
    }
    consumeTrailingRequestAck(conv->handle, kTrailingAckMs);
    writeLine("REQUEST OK " + target->fields + " " + dataFields(bytes, target->format));
    return true;
}

bool ClientSession::advise(const Command& c, bool start) {
    const char* word = start ? "ADVISE" : "UNADVISE";
    Conversation* conv = currentOr(word);
    if (conv == nullptr) {
        return false;
    }
    const std::optional<ItemTarget> target =
        itemTarget(word, c,
                   convField(conv->index) + " " + itemFields(c.first) +
                       " mode=" + (c.mode == LinkMode::Warm ? "warm" : "hot"));
    if (!target) {
        return false;
    }
    UINT type = start ? XTYP_ADVSTART : XTYP_ADVSTOP;
    if (start && c.mode == LinkMode::Warm) {
        type |= XTYPF_NODATA;
    }
    DWORD result = 0;
    UINT error = DMLERR_NO_ERROR;
    const HDDEDATA ok = transact(conv->handle, nullptr, 0, target->item.get(), target->format, type,
                                 &result, &error);
    if (ok == nullptr) {
        writeLine(std::string(word) + " FAIL " + target->fields + " " + dmlErrorField(error));
        return false;
    }
    writeLine(std::string(word) + " OK " + target->fields);
    return true;
}

bool ClientSession::poke(const Command& c) {
    Conversation* conv = currentOr("POKE");
    if (conv == nullptr) {
        return false;
    }
    const std::optional<ItemTarget> target =
        itemTarget("POKE", c, convField(conv->index) + " " + itemFields(c.first));
    if (!target) {
        return false;
    }
    std::string bytes = encodeText(c.second, target->format);
    DWORD result = 0;
    UINT error = DMLERR_NO_ERROR;
    const HDDEDATA ok = transact(conv->handle, reinterpret_cast<LPBYTE>(bytes.data()),
                                 static_cast<DWORD>(bytes.size()), target->item.get(),
                                 target->format, XTYP_POKE, &result, &error);
    if (ok == nullptr) {
        writeLine("POKE FAIL " + target->fields + " " + dmlErrorField(error));
        return false;
    }
    const bool fack = (result & DDE_FACK) != 0;
    writeLine("POKE OK " + target->fields + " fack=" + (fack ? "1" : "0") +
              " result=" + hexNumber(result, 4));
    return fack;
}

bool ClientSession::execute(const Command& c) {
    Conversation* conv = currentOr("EXECUTE");
    if (conv == nullptr) {
        return false;
    }
    const std::string head = convField(conv->index);
    std::wstring text = c.first;
    DWORD result = 0;
    UINT error = DMLERR_NO_ERROR;
    const HDDEDATA ok = transact(conv->handle, reinterpret_cast<LPBYTE>(text.data()),
                                 static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)), nullptr,
                                 0, XTYP_EXECUTE, &result, &error);
    if (ok == nullptr) {
        writeLine("EXECUTE FAIL " + head + " " + dmlErrorField(error));
        return false;
    }
    const bool fack = (result & DDE_FACK) != 0;
    writeLine("EXECUTE OK " + head + " fack=" + (fack ? "1" : "0") +
              " result=" + hexNumber(result, 4));
    return fack;
}

bool ClientSession::disconnect() {
    Conversation* conv = currentOr("DISCONNECT");
    if (conv == nullptr) {
        return false;
    }
    const int index = conv->index;
    conv->open = false;
    current_ = 0;
    if (!DdeDisconnect(conv->handle)) {
        writeLine("DISCONNECT FAIL " + convField(index) + " " +
                  dmlErrorField(DdeGetLastError(instance_)));
        return false;
    }
    writeLine("DISCONNECT OK " + convField(index));
    return true;
}

}  // namespace ddetool
