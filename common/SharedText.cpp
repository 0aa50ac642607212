#include "common/SharedText.h"

#include <comdef.h>

#include <cwchar>

#include "common/TextConversion.h"

namespace korven {

SharedText::Holder::~Holder() {
    if (wide != nullptr) {
        SysFreeString(wide);
    }
    delete[] narrow;
}

SharedText SharedText::fromNarrow(const char* text) {
    SharedText result;
    result.holder_ = std::make_shared<Holder>();
    result.holder_->wide = narrowToWide(text);
    return result;
}

SharedText SharedText::fromWide(const wchar_t* text) {
    SharedText result;
    result.holder_ = std::make_shared<Holder>();
    if (text != nullptr) {
        result.holder_->wide = SysAllocString(text);
        if (result.holder_->wide == nullptr) {
            throw _com_error(E_OUTOFMEMORY);
        }
    }
    return result;
}

size_t SharedText::length() const {
    const wchar_t* text = wide();
    return text ? std::wcslen(text) : 0;
}

const char* SharedText::narrow() const {
    if (!present()) {
        return nullptr;
    }
    if (holder_->narrow == nullptr) {
        holder_->narrow = wideToNarrow(holder_->wide);
    }
    return holder_->narrow;
}

std::wstring SharedText::str() const {
    const wchar_t* text = wide();
    return text ? std::wstring(text) : std::wstring();
}

}  // namespace korven
