#include "common/TextConversion.h"

#include <comdef.h>

#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

namespace korven {
namespace {

[[noreturn]] void raiseLastError() {
    throw _com_error(HRESULT_FROM_WIN32(GetLastError()));
}

}  // namespace

BSTR narrowToWide(const char* text, UINT codePage) {
    if (text == nullptr) {
        return nullptr;
    }
    const int bytes = static_cast<int>(std::strlen(text)) + 1;
    const int chars = MultiByteToWideChar(codePage, 0, text, bytes, nullptr, 0);
    if (chars == 0) {
        raiseLastError();
    }
    wchar_t stackScratch[kStackScratchChars];
    std::unique_ptr<wchar_t[]> heapScratch;
    wchar_t* scratch = stackScratch;
    if (chars >= kStackScratchChars) {
        heapScratch.reset(new (std::nothrow) wchar_t[chars]);
        if (!heapScratch) {
            throw _com_error(E_OUTOFMEMORY);
        }
        scratch = heapScratch.get();
    }
    if (MultiByteToWideChar(codePage, 0, text, bytes, scratch, chars) == 0) {
        raiseLastError();
    }
    BSTR result = SysAllocString(scratch);
    if (result == nullptr) {
        throw _com_error(E_OUTOFMEMORY);
    }
    return result;
}

char* wideToNarrow(const wchar_t* text, UINT codePage) {
    if (text == nullptr) {
        return nullptr;
    }
    const int chars = static_cast<int>(std::wcslen(text)) + 1;
    const int bytes = WideCharToMultiByte(codePage, 0, text, chars, nullptr, 0, nullptr, nullptr);
    if (bytes == 0) {
        raiseLastError();
    }
    std::unique_ptr<char[]> result(new (std::nothrow) char[bytes]);
    if (!result) {
        throw _com_error(E_OUTOFMEMORY);
    }
    if (WideCharToMultiByte(codePage, 0, text, chars, result.get(), bytes, nullptr, nullptr) == 0) {
        raiseLastError();
    }
    return result.release();
}

}  // namespace korven
