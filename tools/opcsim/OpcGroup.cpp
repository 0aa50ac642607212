#include "OpcGroup.h"

#include <olectl.h>

#include <vector>

#include "ComGuards.h"
#include "DataCallback.h"
#include "DataChangeStream.h"
#include "Simulation.h"
#include "ValueText.h"

namespace opcsim {
namespace {

constexpr DWORD kReadable = 1;  // OPC_READABLE
unsigned long nextSerial = 1;

std::string handleList(DWORD count, const OPCHANDLE* handles) {
    std::string out = "[";
    for (DWORD i = 0; handles && i < count; ++i) {
        out += (i ? "," : "") + std::to_string(handles[i]);
    }
    return out + "]";
}

std::string codeList(DWORD count, const HRESULT* codes) {
    std::string out = "[";
    for (DWORD i = 0; codes && i < count; ++i) {
        out += (i ? "," : "") + hex32(static_cast<uint32_t>(codes[i]));
    }
    return out + "]";
}

// The value an item sends while it carries an error.
const VARIANT& emptyValue() {
    static const VARIANT empty = [] {
        VARIANT v;
        VariantInit(&v);
        return v;
    }();
    return empty;
}

HRESULT notImplemented(const char* call) {
    Simulation::get().journal().write(JournalLine(call).result(E_NOTIMPL));
    return E_NOTIMPL;
}

}  // namespace

OpcGroup::OpcGroup(std::wstring name, OPCHANDLE hServerGroup, OPCHANDLE hClientGroup, BOOL active,
                   DWORD rate, LONG timeBias, FLOAT deadband, DWORD lcid)
    : name_(std::move(name)),
      hServerGroup_(hServerGroup),
      hClientGroup_(hClientGroup),
      active_(active),
      rate_(rate),
      timeBias_(timeBias),
      deadband_(deadband),
      lcid_(lcid),
      serial_(nextSerial++) {
    Simulation::get().objectCreated();
    restartTimer();
}

OpcGroup::~OpcGroup() {
    detach();
    Simulation::get().objectDestroyed();
}

void OpcGroup::detach() {
    if (detached_) {
        return;
    }
    detached_ = true;
    Simulation::get().killTimer(serial_);
    for (auto& [connection, sink] : sinks_) {
        sink->Release();
    }
    sinks_.clear();
    if (callback_) {
        callback_->Release();
        callback_ = nullptr;
    }
}

STDMETHODIMP OpcGroup::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) {
        return E_POINTER;
    }
    *ppv = nullptr;
    const Faults& faults = Simulation::get().scenario().faults;
    const DataAccess access = Simulation::get().scenario().server.dataAccess;
    const bool path10 = access != DataAccess::V2;
    const bool path20 = access != DataAccess::V1;
    if (riid == IID_IUnknown || riid == IID_IOPCItemMgt) {
        *ppv = static_cast<IOPCItemMgt*>(this);
    } else if (riid == IID_IOPCGroupStateMgt) {
        *ppv = static_cast<IOPCGroupStateMgt*>(this);
    } else if (riid == IID_IOPCSyncIO) {
        *ppv = static_cast<IOPCSyncIO*>(this);
    } else if (riid == IID_IOPCAsyncIO && path10 && !faults.noAsyncIO) {
        *ppv = static_cast<IOPCAsyncIO*>(this);
    } else if (riid == IID_IDataObject && path10 && !faults.noDataObject) {
        *ppv = static_cast<IDataObject*>(this);
    } else if (riid == IID_IConnectionPointContainer && path20) {
        *ppv = static_cast<IConnectionPointContainer*>(this);
    } else if (riid == IID_IOPCAsyncIO2 && path20) {
        *ppv = static_cast<IOPCAsyncIO2*>(this);
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) OpcGroup::AddRef() {
    return ++refs_;
}

STDMETHODIMP_(ULONG) OpcGroup::Release() {
    LONG left = --refs_;
    if (left == 0) {
        // The final release may be held (slow, hang): references taken and
        // given back meanwhile must not end the object a second time.
        refs_ = 1;
        Simulation::get().arrive("Group.Release");
        left = --refs_;
        if (left == 0) {
            delete this;
        }
    }
    return left;
}

void OpcGroup::restartTimer() {
    Simulation& sim = Simulation::get();
    sim.killTimer(serial_);
    if (!detached_ && active_ && rate_ > 0) {
        sim.setTimer(serial_, rate_, [this] { onUpdate(); });
    }
}

void OpcGroup::onUpdate() {
    Simulation& sim = Simulation::get();
    if (detached_ || !active_) {
        return;
    }
    // The device moves one step for each item this group holds, then the
    // group reports what changed since it last reported.
    for (auto& [handle, item] : items_) {
        if (DeviceItem* device = sim.find(item.id); device && item.active) {
            if (advance(device->behaviour, device->value.get())) {
                device->changed();
            }
        }
    }
    send(false, 0, Audience{});
}

void OpcGroup::send(bool all, DWORD transactionId, Audience to) {
    Simulation& sim = Simulation::get();
    const bool toStreams =
        to.streams && (to.onlyConnection ? sinks_.count(to.onlyConnection) > 0 : !sinks_.empty());
    const bool toCallback = to.callback && callback_;
    if (detached_ || !active_ || (!toStreams && !toCallback)) {
        return;  // an inactive group sends nothing
    }
    const Faults& faults = sim.scenario().faults;
    std::vector<StreamItem> stream;
    std::vector<CallbackItem> callback;
    std::vector<std::string> journal;
    if (faults.unknownHandle) {
        static VARIANT unknownValue = [] {
            VARIANT v;
            VariantInit(&v);
            v.vt = VT_I4;
            v.lVal = 0;
            return v;
        }();
        stream.push_back({*faults.unknownHandle, 0x00C0, 0, &unknownValue});
        callback.push_back({*faults.unknownHandle, &unknownValue, 0x00C0, sim.startTime(), S_OK});
        journal.push_back(std::to_string(*faults.unknownHandle) + ":" + formatValue(unknownValue));
    }
    std::vector<GroupItem*> included;
    for (auto& [handle, item] : items_) {
        DeviceItem* device = sim.find(item.id);
        if (!device || !item.active || (!all && item.sentVersion == device->version)) {
            continue;
        }
        // An item with an error goes without a value, of bad quality.
        const bool failed = device->error != S_OK;
        const VARIANT* value = failed ? &emptyValue() : device->value.get();
        const WORD quality = failed ? 0 : device->quality;
        stream.push_back({item.hClient, quality, device->reserved, value});
        callback.push_back({item.hClient, value, quality, device->stamp, device->error});
        journal.push_back(std::to_string(item.hClient) + ":" + formatValue(*value));
        included.push_back(&item);
    }
    if (!all && included.empty()) {
        return;
    }
    for (GroupItem* item : included) {
        item->sentVersion = sim.find(item->id)->version;
    }
    sim.noteUpdate();

    AddRef();  // a subscriber may release the group from inside its notification
    if (toStreams) {
        const HRESULT status = faults.blockStatus.value_or(blockStatusOf(stream));
        std::vector<uint8_t> bytes = encodeDataChange(hClientGroup_, transactionId, status, stream,
                                                      sim.scenario().server.recordSize);
        std::map<DWORD, IAdviseSink*> sinks = sinks_;
        for (auto& [connection, sink] : sinks) {
            if ((to.onlyConnection && connection != to.onlyConnection) ||
                !sinks_.count(connection)) {
                continue;
            }
            HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
            if (!block) {
                continue;
            }
            {
                GlobalLockGuard lock(block);
                if (lock.get()) {
                    memcpy(lock.get(), bytes.data(), bytes.size());
                }
            }
            FORMATETC format{static_cast<CLIPFORMAT>(sim.streamFormat()), nullptr, DVASPECT_CONTENT,
                             -1, TYMED_HGLOBAL};
            STGMEDIUM medium{};
            medium.tymed = TYMED_HGLOBAL;
            medium.hGlobal = block;
            medium.pUnkForRelease = nullptr;
            sink->AddRef();
            sink->OnDataChange(&format, &medium);
            sink->Release();
            ReleaseStgMedium(&medium);
            sim.journal().write(JournalLine("Send.OnDataChange")
                                    .arg("connection", connection)
                                    .arg("hClientGroup", hClientGroup_)
                                    .arg("transaction", transactionId)
                                    .code("hrStatus", status)
                                    .arg("size", static_cast<long long>(bytes.size()))
                                    .list("items", journal));
        }
    }
    // The callback connection may have gone while a stream sink was called.
    if (to.callback && callback_ && (!included.empty() || transactionId != 0)) {
        sendDataChange(callback_, transactionId, hClientGroup_, callback, sim.journal());
    }
    Release();
}

STDMETHODIMP OpcGroup::AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                                HRESULT** ppErrors) {
    Simulation& sim = Simulation::get();
    const RefHold hold(static_cast<IOPCItemMgt*>(this));
    sim.arrive("IOPCItemMgt.AddItems");
    const Faults& faults = sim.scenario().faults;
    JournalLine line("IOPCItemMgt.AddItems");
    std::vector<std::string> defs;
    for (DWORD i = 0; pItemArray && i < dwCount; ++i) {
        const OPCITEMDEF& d = pItemArray[i];
        defs.push_back("{id=" + quote(d.szItemID) + ",path=" + quote(d.szAccessPath) + ",active=" +
                       std::to_string(d.bActive) + ",hClient=" + std::to_string(d.hClient) +
                       ",vt=" + std::to_string(d.vtRequestedDataType) +
                       ",blob=" + std::to_string(d.dwBlobSize) + "}");
    }
    line.arg("count", dwCount).list("items", defs);
    auto finish = [&](HRESULT hr) {
        sim.journal().write(line.result(hr));
        return hr;
    };
    if (!ppAddResults || !ppErrors) {
        return finish(E_INVALIDARG);
    }
    *ppAddResults = nullptr;
    *ppErrors = nullptr;
    if (faults.addItems) {
        return finish(*faults.addItems);
    }
    if (dwCount == 0 || !pItemArray) {
        return finish(E_INVALIDARG);
    }
    TaskMem<OPCITEMRESULT> results(dwCount);
    TaskMem<HRESULT> errors(dwCount);
    if (!results.get() || !errors.get()) {
        return finish(E_OUTOFMEMORY);
    }
    bool anyFailed = false;
    for (DWORD i = 0; i < dwCount; ++i) {
        const OPCITEMDEF& d = pItemArray[i];
        std::wstring id = d.szItemID ? d.szItemID : L"";
        DeviceItem* device = id.empty() ? nullptr : sim.find(id);
        HRESULT hr = S_OK;
        if (id.empty()) {
            hr = OPC_E_INVALIDITEMID;
        } else if (!device) {
            hr = OPC_E_UNKNOWNITEMID;
        } else if (d.vtRequestedDataType != VT_EMPTY &&
                   d.vtRequestedDataType != device->spec->type) {
            hr = OPC_E_BADTYPE;
        }
        errors[i] = hr;
        if (FAILED(hr)) {
            anyFailed = true;
            continue;
        }
        const OPCHANDLE handle = nextItemHandle_++;
        items_[handle] = GroupItem{id, d.hClient, d.bActive != FALSE, 0};
        results[i].hServer = handle;
        results[i].vtCanonicalDataType = device->spec->type;
        results[i].dwAccessRights = kReadable;
    }
    const HRESULT hr = anyFailed ? S_FALSE : S_OK;
    std::vector<std::string> handles;
    for (DWORD i = 0; i < dwCount; ++i) {
        handles.push_back(std::to_string(results[i].hServer));
    }
    line.result(hr).list("hServer", handles).arg("errors", codeList(dwCount, errors.get()));
    if (faults.addItemsIncomplete == Faults::Incomplete::Results) {
        line.arg("incomplete", "results");
        *ppErrors = errors.release();
    } else if (faults.addItemsIncomplete == Faults::Incomplete::Errors) {
        line.arg("incomplete", "errors");
        *ppAddResults = results.release();
    } else {
        *ppAddResults = results.release();
        *ppErrors = errors.release();
    }
    sim.journal().write(line);
    return hr;
}

STDMETHODIMP OpcGroup::ValidateItems(DWORD, OPCITEMDEF*, BOOL, OPCITEMRESULT** ppValidationResults,
                                     HRESULT** ppErrors) {
    if (ppValidationResults) {
        *ppValidationResults = nullptr;
    }
    if (ppErrors) {
        *ppErrors = nullptr;
    }
    return notImplemented("IOPCItemMgt.ValidateItems");
}

STDMETHODIMP OpcGroup::RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) {
    Simulation& sim = Simulation::get();
    const RefHold hold(static_cast<IOPCItemMgt*>(this));
    sim.arrive("IOPCItemMgt.RemoveItems");
    JournalLine line("IOPCItemMgt.RemoveItems");
    line.arg("count", dwCount).arg("hServer", handleList(dwCount, phServer));
    if (!ppErrors || !phServer || dwCount == 0) {
        if (ppErrors) {
            *ppErrors = nullptr;
        }
        sim.journal().write(line.result(E_INVALIDARG));
        return E_INVALIDARG;
    }
    TaskMem<HRESULT> errors(dwCount);
    if (!errors.get()) {
        *ppErrors = nullptr;
        sim.journal().write(line.result(E_OUTOFMEMORY));
        return E_OUTOFMEMORY;
    }
    bool anyFailed = false;
    for (DWORD i = 0; i < dwCount; ++i) {
        errors[i] = items_.erase(phServer[i]) ? S_OK : OPC_E_INVALIDHANDLE;
        anyFailed = anyFailed || FAILED(errors[i]);
    }
    const HRESULT hr = anyFailed ? S_FALSE : S_OK;
    sim.journal().write(line.result(hr).arg("errors", codeList(dwCount, errors.get())));
    *ppErrors = errors.release();
    return hr;
}

STDMETHODIMP OpcGroup::SetActiveState(DWORD, OPCHANDLE*, BOOL, HRESULT** ppErrors) {
    if (ppErrors) {
        *ppErrors = nullptr;
    }
    return notImplemented("IOPCItemMgt.SetActiveState");
}

STDMETHODIMP OpcGroup::SetClientHandles(DWORD, OPCHANDLE*, OPCHANDLE*, HRESULT** ppErrors) {
    if (ppErrors) {
        *ppErrors = nullptr;
    }
    return notImplemented("IOPCItemMgt.SetClientHandles");
}

STDMETHODIMP OpcGroup::SetDatatypes(DWORD, OPCHANDLE*, VARTYPE*, HRESULT** ppErrors) {
    if (ppErrors) {
        *ppErrors = nullptr;
    }
    return notImplemented("IOPCItemMgt.SetDatatypes");
}

STDMETHODIMP OpcGroup::CreateEnumerator(REFIID, LPUNKNOWN* ppUnk) {
    if (ppUnk) {
        *ppUnk = nullptr;
    }
    return notImplemented("IOPCItemMgt.CreateEnumerator");
}

STDMETHODIMP OpcGroup::GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                                FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                                OPCHANDLE* phServerGroup) {
    Simulation& sim = Simulation::get();
    const RefHold hold(static_cast<IOPCItemMgt*>(this));
    sim.arrive("IOPCGroupStateMgt.GetState");
    JournalLine line("IOPCGroupStateMgt.GetState");
    if (!pUpdateRate || !pActive || !ppName || !pTimeBias || !pPercentDeadband || !pLCID ||
        !phClientGroup || !phServerGroup) {
        sim.journal().write(line.result(E_INVALIDARG));
        return E_INVALIDARG;
    }
    *ppName = taskString(name_.data(), name_.size());
    if (!*ppName) {
        sim.journal().write(line.result(E_OUTOFMEMORY));
        return E_OUTOFMEMORY;
    }
    *pUpdateRate = rate_;
    *pActive = active_;
    *pTimeBias = timeBias_;
    *pPercentDeadband = deadband_;
    *pLCID = lcid_;
    *phClientGroup = hClientGroup_;
    *phServerGroup = hServerGroup_;
    sim.journal().write(line.result(S_OK)
                            .arg("rate", rate_)
                            .arg("active", active_)
                            .text("name", name_.c_str())
                            .arg("timeBias", timeBias_)
                            .arg("deadband", std::to_string(deadband_))
                            .arg("lcid", lcid_)
                            .arg("hClientGroup", hClientGroup_)
                            .arg("hServerGroup", hServerGroup_));
    return S_OK;
}

STDMETHODIMP OpcGroup::SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate,
                                BOOL* pActive, LONG* pTimeBias, FLOAT* pPercentDeadband,
                                DWORD* pLCID, OPCHANDLE* phClientGroup) {
    Simulation& sim = Simulation::get();
    const RefHold hold(static_cast<IOPCItemMgt*>(this));
    sim.arrive("IOPCGroupStateMgt.SetState");
    JournalLine line("IOPCGroupStateMgt.SetState");
    auto opt = [](auto* p) { return p ? std::to_string(*p) : std::string("null"); };
    line.arg("rate", opt(pRequestedUpdateRate))
        .arg("active", opt(pActive))
        .arg("timeBias", opt(pTimeBias))
        .arg("deadband", opt(pPercentDeadband))
        .arg("lcid", opt(pLCID))
        .arg("hClientGroup", opt(phClientGroup));
    if (!pRevisedUpdateRate) {
        sim.journal().write(line.result(E_INVALIDARG));
        return E_INVALIDARG;
    }
    if (const auto& refusal = sim.scenario().faults.setState) {
        *pRevisedUpdateRate = rate_;
        sim.journal().write(line.result(*refusal).arg("revisedRate", rate_));
        return *refusal;
    }
    HRESULT hr = S_OK;
    const bool wasActive = active_ != FALSE;
    if (pRequestedUpdateRate) {
        rate_ = grantedRate(sim.scenario().server, *pRequestedUpdateRate);
        if (rate_ != *pRequestedUpdateRate) {
            hr = OPC_S_UNSUPPORTEDRATE;
        }
    }
    if (pActive) {
        active_ = *pActive ? TRUE : FALSE;
    }
    if (pTimeBias) {
        timeBias_ = *pTimeBias;
    }
    if (pPercentDeadband) {
        deadband_ = *pPercentDeadband;
    }
    if (pLCID) {
        lcid_ = *pLCID;
    }
    if (phClientGroup) {
        hClientGroup_ = *phClientGroup;
    }
    if (active_ && !wasActive) {
        // A group made active again reports every item at its next update.
        for (auto& [handle, item] : items_) {
            item.sentVersion = 0;
        }
    }
    *pRevisedUpdateRate = rate_;
    restartTimer();
    sim.journal().write(line.result(hr).arg("revisedRate", rate_));
    return hr;
}

STDMETHODIMP OpcGroup::SetName(LPCWSTR szName) {
    Simulation::get().journal().write(
        JournalLine("IOPCGroupStateMgt.SetName").text("name", szName).result(E_NOTIMPL));
    return E_NOTIMPL;
}

STDMETHODIMP OpcGroup::CloneGroup(LPCWSTR, REFIID, LPUNKNOWN* ppUnk) {
    if (ppUnk) {
        *ppUnk = nullptr;
    }
    return notImplemented("IOPCGroupStateMgt.CloneGroup");
}

STDMETHODIMP OpcGroup::Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                            OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) {
    Simulation& sim = Simulation::get();
    const RefHold hold(static_cast<IOPCItemMgt*>(this));
    sim.arrive("IOPCSyncIO.Read");
    JournalLine line("IOPCSyncIO.Read");
    line.arg("source", dwSource)
        .arg("count", dwCount)
        .arg("hServer", handleList(dwCount, phServer));
    if (!ppItemValues || !ppErrors || !phServer || dwCount == 0) {
        if (ppItemValues) {
            *ppItemValues = nullptr;
        }
        if (ppErrors) {
            *ppErrors = nullptr;
        }
        sim.journal().write(line.result(E_INVALIDARG));
        return E_INVALIDARG;
    }
    *ppItemValues = nullptr;
    *ppErrors = nullptr;
    TaskMem<OPCITEMSTATE> values(dwCount);
    TaskMem<HRESULT> errors(dwCount);
    if (!values.get() || !errors.get()) {
        sim.journal().write(line.result(E_OUTOFMEMORY));
        return E_OUTOFMEMORY;
    }
    bool anyFailed = false;
    std::vector<std::string> read;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    for (DWORD i = 0; i < dwCount; ++i) {
        VariantInit(&values[i].vDataValue);
        auto it = items_.find(phServer[i]);
        DeviceItem* device = it == items_.end() ? nullptr : sim.find(it->second.id);
        if (!device) {
            errors[i] = OPC_E_INVALIDHANDLE;
            anyFailed = true;
            read.push_back("-");
            continue;
        }
        // An item with an error reads without a value, of bad quality.
        errors[i] = device->error != S_OK ? device->error
                                          : VariantCopy(&values[i].vDataValue, device->value.get());
        values[i].hClient = it->second.hClient;
        values[i].ftTimeStamp = now;
        values[i].wQuality = device->error != S_OK ? 0 : device->quality;
        values[i].wReserved = device->reserved;
        anyFailed = anyFailed || FAILED(errors[i]);
        read.push_back(formatValue(values[i].vDataValue));
    }
    const HRESULT hr = anyFailed ? S_FALSE : S_OK;
    sim.journal().write(
        line.result(hr).list("values", read).arg("errors", codeList(dwCount, errors.get())));
    *ppItemValues = values.release();
    *ppErrors = errors.release();
    return hr;
}

STDMETHODIMP OpcGroup::Write(DWORD, OPCHANDLE*, VARIANT*, HRESULT** ppErrors) {
    if (ppErrors) {
        *ppErrors = nullptr;
    }
    return notImplemented("IOPCSyncIO.Write");
}

STDMETHODIMP OpcGroup::Read(DWORD, OPCDATASOURCE, DWORD, OPCHANDLE*, DWORD* pTransactionID,
                            HRESULT** ppErrors) {
    if (pTransactionID) {
        *pTransactionID = 0;
    }
    if (ppErrors) {
        *ppErrors = nullptr;
    }
    return notImplemented("IOPCAsyncIO.Read");
}

STDMETHODIMP OpcGroup::Write(DWORD, DWORD, OPCHANDLE*, VARIANT*, DWORD* pTransactionID,
                             HRESULT** ppErrors) {
    if (pTransactionID) {
        *pTransactionID = 0;
    }
    if (ppErrors) {
        *ppErrors = nullptr;
    }
    return notImplemented("IOPCAsyncIO.Write");
}

STDMETHODIMP OpcGroup::Refresh(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD* pTransactionID) {
    Simulation& sim = Simulation::get();
    const RefHold hold(static_cast<IOPCItemMgt*>(this));
    sim.arrive("IOPCAsyncIO.Refresh");
    JournalLine line("IOPCAsyncIO.Refresh");
    line.arg("connection", dwConnection).arg("source", dwSource);
    HRESULT hr = S_OK;
    if (!pTransactionID) {
        hr = E_INVALIDARG;
    } else if (!sinks_.count(dwConnection)) {
        *pTransactionID = 0;
        hr = CONNECT_E_NOCONNECTION;
    } else if (!active_) {
        *pTransactionID = 0;
        hr = E_FAIL;
    } else {
        const DWORD transaction = nextTransaction_++;
        *pTransactionID = transaction;
        line.result(hr).arg("transaction", transaction);
        // Answered from the message loop, once this call has returned.
        AddRef();
        sim.post([this, transaction, dwConnection] {
            send(true, transaction, Audience{true, dwConnection, false});
            Release();
        });
    }
    sim.journal().write(line.result(hr));
    return hr;
}

STDMETHODIMP OpcGroup::Cancel(DWORD dwTransactionID) {
    Simulation::get().journal().write(
        JournalLine("IOPCAsyncIO.Cancel").arg("transaction", dwTransactionID).result(E_NOTIMPL));
    return E_NOTIMPL;
}

STDMETHODIMP OpcGroup::GetData(FORMATETC*, STGMEDIUM*) {
    return E_NOTIMPL;
}
STDMETHODIMP OpcGroup::GetDataHere(FORMATETC*, STGMEDIUM*) {
    return E_NOTIMPL;
}
STDMETHODIMP OpcGroup::QueryGetData(FORMATETC*) {
    return E_NOTIMPL;
}
STDMETHODIMP OpcGroup::GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) {
    if (out) {
        out->ptd = nullptr;
    }
    return E_NOTIMPL;
}
STDMETHODIMP OpcGroup::SetData(FORMATETC*, STGMEDIUM*, BOOL) {
    return E_NOTIMPL;
}
STDMETHODIMP OpcGroup::EnumFormatEtc(DWORD, IEnumFORMATETC** ppenum) {
    if (ppenum) {
        *ppenum = nullptr;
    }
    return E_NOTIMPL;
}
STDMETHODIMP OpcGroup::EnumDAdvise(IEnumSTATDATA** ppenum) {
    if (ppenum) {
        *ppenum = nullptr;
    }
    return E_NOTIMPL;
}

STDMETHODIMP OpcGroup::DAdvise(FORMATETC* pformatetc, DWORD advf, IAdviseSink* pAdvSink,
                               DWORD* pdwConnection) {
    Simulation& sim = Simulation::get();
    const RefHold hold(static_cast<IOPCItemMgt*>(this));
    sim.arrive("IDataObject.DAdvise");
    JournalLine line("IDataObject.DAdvise");
    const bool streamFormat = pformatetc && pformatetc->cfFormat == sim.streamFormat();
    line.arg("format", !pformatetc    ? "null"
                       : streamFormat ? "OPCSTMFORMATDATA"
                                      : std::to_string(pformatetc->cfFormat))
        .arg("tymed", pformatetc ? static_cast<long long>(pformatetc->tymed) : -1)
        .arg("aspect", pformatetc ? static_cast<long long>(pformatetc->dwAspect) : -1)
        .arg("index", pformatetc ? static_cast<long long>(pformatetc->lindex) : 0)
        .arg("advf", advf);
    HRESULT hr = S_OK;
    if (!pformatetc || !pAdvSink || !pdwConnection) {
        hr = E_INVALIDARG;
    } else if (!streamFormat || !(pformatetc->tymed & TYMED_HGLOBAL)) {
        *pdwConnection = 0;
        hr = DV_E_FORMATETC;
    } else {
        const DWORD connection = nextConnection_++;
        pAdvSink->AddRef();
        sinks_[connection] = pAdvSink;
        *pdwConnection = connection;
        line.result(hr).arg("connection", connection);
        if (advf & ADVF_PRIMEFIRST) {
            AddRef();
            sim.post([this, connection] {
                send(true, 0, Audience{true, connection, false});
                Release();
            });
        }
    }
    sim.journal().write(line.result(hr));
    return hr;
}

STDMETHODIMP OpcGroup::DUnadvise(DWORD dwConnection) {
    const RefHold hold(static_cast<IOPCItemMgt*>(this));
    Simulation::get().arrive("IDataObject.DUnadvise");
    auto it = sinks_.find(dwConnection);
    HRESULT hr = OLE_E_NOCONNECTION;
    if (it != sinks_.end()) {
        IAdviseSink* sink = it->second;
        sinks_.erase(it);
        sink->Release();
        hr = S_OK;
    }
    Simulation::get().journal().write(
        JournalLine("IDataObject.DUnadvise").arg("connection", dwConnection).result(hr));
    return hr;
}

}  // namespace opcsim
