#include "ClassFactory.h"

#include "OpcServer.h"
#include "Simulation.h"

namespace opcsim {

STDMETHODIMP ClassFactory::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) {
        return E_POINTER;
    }
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
        *ppv = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    Simulation& sim = Simulation::get();
    sim.arrive("IClassFactory.CreateInstance");
    JournalLine line("IClassFactory.CreateInstance");
    line.arg("iid", riid == IID_IOPCServer ? "IOPCServer"
                    : riid == IID_IUnknown ? "IUnknown"
                                           : "other");
    if (!ppv) {
        sim.journal().write(line.result(E_POINTER));
        return E_POINTER;
    }
    *ppv = nullptr;
    if (outer) {
        sim.journal().write(line.result(CLASS_E_NOAGGREGATION));
        return CLASS_E_NOAGGREGATION;
    }
    if (const auto& fault = sim.scenario().faults.createInstance) {
        sim.journal().write(line.result(*fault));
        sim.exitIfIdle();
        return *fault;
    }
    auto* server = new OpcServer();
    server->AddRef();
    HRESULT hr = server->QueryInterface(riid, ppv);
    server->Release();  // the caller's reference keeps it, or it goes now
    sim.journal().write(line.result(hr));
    return hr;
}

STDMETHODIMP ClassFactory::LockServer(BOOL lock) {
    Simulation& sim = Simulation::get();
    sim.journal().write(JournalLine("IClassFactory.LockServer").arg("lock", lock).result(S_OK));
    if (lock) {
        sim.objectCreated();
    } else {
        sim.objectDestroyed();
    }
    return S_OK;
}

}  // namespace opcsim
