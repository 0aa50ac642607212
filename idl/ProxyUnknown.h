/*
 * Forced into the generated proxy code: MinGW's C headers do not declare the
 * three IUnknown proxy routines that every proxy vtable starts with (rpcrt4
 * exports them). Nothing else may be included here: the generated file has to
 * define USE_STUBLESS_PROXY before it first includes rpcproxy.h.
 */
#ifndef KORVEN_PROXY_UNKNOWN_H
#define KORVEN_PROXY_UNKNOWN_H

#include <unknwn.h>

HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown* This, REFIID riid,
                                                        void** ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown* This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown* This);

#endif
