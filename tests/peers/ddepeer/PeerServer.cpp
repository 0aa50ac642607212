#include "PeerServer.h"

#include "CodePageText.h"
#include "OutputSink.h"
#include "TextEscape.h"

namespace ddepeer {

namespace {

PeerServer* g_server = nullptr;

std::wstring queryName(DWORD instance, HSZ handle) {
    if (handle == nullptr) {
        return L"*";
    }
    wchar_t buffer[512] = {};
    const DWORD chars = DdeQueryStringW(instance, handle, buffer, 511, CP_WINUNICODE);
    return std::wstring(buffer, chars < 512 ? chars : 511);
}

std::string itemFields(const std::wstring& item) {
    return "item=" + ddetool::fieldText(item) +
           " itemhex=" + ddetool::hexBytes(ddetool::toUtf8(item));
}

HDDEDATA flag(UINT value) {
    return reinterpret_cast<HDDEDATA>(static_cast<ULONG_PTR>(value));
}

}  // namespace

PeerServer::PeerServer(std::wstring service, std::vector<std::wstring> topics)
    : serviceName_(std::move(service)), topicNames_(std::move(topics)) {
    g_server = this;
}

PeerServer::~PeerServer() {
    if (instance_ != 0) {
        // Ends every conversation first, so each client hears of it.
        const std::vector<HCONV> open = conversations_;
        for (HCONV conv : open) {
            DdeDisconnect(conv);
        }
        DdeNameService(instance_, nullptr, nullptr, DNS_UNREGISTER);
        for (HSZ topic : topics_) {
            DdeFreeStringHandle(instance_, topic);
        }
        if (service_ != nullptr) {
            DdeFreeStringHandle(instance_, service_);
        }
        DdeUninitialize(instance_);
    }
    g_server = nullptr;
}

bool PeerServer::start() {
    // An ANSI instance, like the bridge's.
    const UINT error =
        DdeInitializeA(&instance_, &PeerServer::callback,
                       APPCLASS_STANDARD | CBF_SKIP_REGISTRATIONS | CBF_SKIP_UNREGISTRATIONS, 0);
    if (error != DMLERR_NO_ERROR) {
        instance_ = 0;
        ddetool::writeLine("FAIL step=initialize dmlerr=" + ddetool::hexNumber(error, 4));
        return false;
    }
    service_ = DdeCreateStringHandleW(instance_, serviceName_.c_str(), CP_WINUNICODE);
    for (const std::wstring& name : topicNames_) {
        topics_.push_back(DdeCreateStringHandleW(instance_, name.c_str(), CP_WINUNICODE));
    }
    if (service_ == nullptr ||
        DdeNameService(instance_, service_, nullptr, DNS_REGISTER) == nullptr) {
        ddetool::writeLine("FAIL step=register dmlerr=" +
                           ddetool::hexNumber(DdeGetLastError(instance_), 4));
        return false;
    }
    return true;
}

bool PeerServer::servesTopic(HSZ topic) const {
    for (HSZ own : topics_) {
        if (own != nullptr && DdeCmpStringHandles(own, topic) == 0) {
            return true;
        }
    }
    return false;
}

HDDEDATA CALLBACK PeerServer::callback(UINT type, UINT format, HCONV conv, HSZ hsz1, HSZ hsz2,
                                       HDDEDATA data, ULONG_PTR, ULONG_PTR) {
    if (g_server == nullptr) {
        return nullptr;
    }
    if (type == XTYP_CONNECT_CONFIRM) {
        g_server->conversations_.push_back(conv);
        return nullptr;
    }
    if (type == XTYP_DISCONNECT) {
        std::erase(g_server->conversations_, conv);
    }
    return g_server->onTransaction(type, format, hsz1, hsz2, data);
}

HDDEDATA PeerServer::valueData(HSZ item, UINT format, const std::wstring& name) {
    const std::wstring value = name + L"#" + std::to_wstring(updates_[name]);
    std::string bytes;
    if (format == CF_UNICODETEXT) {
        bytes.assign(reinterpret_cast<const char*>(value.c_str()), (value.size() + 1) * 2);
    } else {
        bytes = ddetool::wideToBytes(value, CP_ACP);
        bytes.push_back('\0');
    }
    return DdeCreateDataHandle(instance_, reinterpret_cast<LPBYTE>(bytes.data()),
                               static_cast<DWORD>(bytes.size()), 0, item, format, 0);
}

HDDEDATA PeerServer::onTransaction(UINT type, UINT format, HSZ hsz1, HSZ hsz2, HDDEDATA data) {
    const bool textFormat = format == CF_TEXT || format == CF_UNICODETEXT;
    switch (type) {
        case XTYP_CONNECT: {
            const bool ok = servesTopic(hsz1);
            ddetool::writeLine("CONNECT topic=" + ddetool::fieldText(queryName(instance_, hsz1)) +
                               " answer=" + (ok ? "yes" : "no"));
            return flag(ok ? TRUE : FALSE);
        }
        case XTYP_WILDCONNECT: {
            std::vector<HSZPAIR> pairs;
            for (HSZ topic : topics_) {
                if (hsz1 == nullptr || DdeCmpStringHandles(topic, hsz1) == 0) {
                    pairs.push_back({service_, topic});
                }
            }
            ddetool::writeLine(
                "WILDCONNECT topic=" + ddetool::fieldText(queryName(instance_, hsz1)) +
                " offered=" + std::to_string(pairs.size()));
            if (pairs.empty()) {
                return nullptr;
            }
            pairs.push_back({nullptr, nullptr});
            return DdeCreateDataHandle(instance_, reinterpret_cast<LPBYTE>(pairs.data()),
                                       static_cast<DWORD>(pairs.size() * sizeof(HSZPAIR)), 0,
                                       nullptr, CF_TEXT, 0);
        }
        case XTYP_REQUEST: {
            const std::wstring name = queryName(instance_, hsz2);
            const bool ok = textFormat && name != L"missing";
            ddetool::writeLine("REQUEST " + itemFields(name) + " fmt=" + std::to_string(format) +
                               " answer=" + (ok ? "data" : "none"));
            return ok ? valueData(hsz2, format, name) : nullptr;
        }
        case XTYP_ADVSTART: {
            const std::wstring name = queryName(instance_, hsz2);
            const bool ok = textFormat && name != L"missing";
            if (ok) {
                ++links_[name];
            }
            ddetool::writeLine("ADVSTART " + itemFields(name) + " fmt=" + std::to_string(format) +
                               " answer=" + (ok ? "yes" : "no"));
            return flag(ok ? TRUE : FALSE);
        }
        case XTYP_ADVREQ: {
            const std::wstring name = queryName(instance_, hsz2);
            ddetool::writeLine("ADVREQ " + itemFields(name) + " fmt=" + std::to_string(format) +
                               " n=" + std::to_string(updates_[name]));
            return valueData(hsz2, format, name);
        }
        case XTYP_ADVSTOP: {
            const std::wstring name = queryName(instance_, hsz2);
            if (links_[name] > 0) {
                --links_[name];
            }
            ddetool::writeLine("ADVSTOP " + itemFields(name) + " fmt=" + std::to_string(format));
            return nullptr;
        }
        case XTYP_POKE: {
            const std::wstring name = queryName(instance_, hsz2);
            DWORD size = 0;
            const LPBYTE bytes = DdeAccessData(data, &size);
            std::string copy = bytes ? std::string(reinterpret_cast<char*>(bytes), size) : "";
            if (bytes != nullptr) {
                DdeUnaccessData(data);
            }
            ddetool::writeLine("POKE " + itemFields(name) + " fmt=" + std::to_string(format) +
                               " hex=" + ddetool::hexBytes(copy) + " answer=refused");
            return flag(DDE_FNOTPROCESSED);
        }
        case XTYP_EXECUTE: {
            // An ANSI instance: DDEML hands over the command in the ANSI code page.
            char text[1024] = {};
            DdeGetData(data, reinterpret_cast<LPBYTE>(text), sizeof text - 1, 0);
            const std::wstring command = ddetool::bytesToWide(text, CP_ACP);
            const bool ok = command != L"fail";
            ddetool::writeLine("EXECUTE text=" + ddetool::escape(ddetool::toUtf8(command), false) +
                               " answer=" + (ok ? "yes" : "no"));
            return flag(ok ? DDE_FACK : DDE_FNOTPROCESSED);
        }
        case XTYP_DISCONNECT:
            ddetool::writeLine("DISCONNECT");
            return nullptr;
        default:
            return nullptr;
    }
}

void PeerServer::post(const std::wstring& item) {
    ++updates_[item];
    const HSZ handle = DdeCreateStringHandleW(instance_, item.c_str(), CP_WINUNICODE);
    bool ok = handle != nullptr;
    // One post on the first topic: Wine's DdePostAdvise serves the item's links
    // on every topic of the service, so one post per topic would repeat updates.
    ok = ok && DdePostAdvise(instance_, topics_.front(), handle);
    if (handle != nullptr) {
        DdeFreeStringHandle(instance_, handle);
    }
    ddetool::writeLine("POSTED " + itemFields(item) + " n=" + std::to_string(updates_[item]) +
                       " ok=" + (ok ? "1" : "0"));
}

void PeerServer::postAdvised() {
    std::vector<std::wstring> names;
    for (const auto& [name, count] : links_) {
        if (count > 0) {
            names.push_back(name);
        }
    }
    for (const std::wstring& name : names) {
        post(name);
    }
}

}  // namespace ddepeer
