#pragma once
// Owners for what COM hands out: task memory, BSTR, VARIANT, SAFEARRAY. Each frees what
// it holds when it leaves scope, so early returns free what they must.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <memory>

namespace korven {

template <class T>
class CoTaskMemPtr {
  public:
    CoTaskMemPtr() = default;
    explicit CoTaskMemPtr(T* p) : p_(p) {}
    ~CoTaskMemPtr() { CoTaskMemFree(p_); }
    CoTaskMemPtr(const CoTaskMemPtr&) = delete;
    CoTaskMemPtr& operator=(const CoTaskMemPtr&) = delete;

    T* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // For an out parameter: frees what is held, hands out the slot.
    T** out() {
        CoTaskMemFree(p_);
        p_ = nullptr;
        return &p_;
    }

  private:
    T* p_ = nullptr;
};

class BstrPtr {
  public:
    BstrPtr() = default;
    explicit BstrPtr(BSTR text) : text_(text) {}
    ~BstrPtr() { SysFreeString(text_); }
    BstrPtr(const BstrPtr&) = delete;
    BstrPtr& operator=(const BstrPtr&) = delete;

    BSTR get() const { return text_; }

  private:
    BSTR text_ = nullptr;
};

class VariantHolder {
  public:
    VariantHolder() { VariantInit(&value_); }
    ~VariantHolder() { VariantClear(&value_); }
    VariantHolder(const VariantHolder&) = delete;
    VariantHolder& operator=(const VariantHolder&) = delete;

    VARIANT* get() { return &value_; }

  private:
    VARIANT value_;
};

struct SafeArrayDestroyer {
    void operator()(SAFEARRAY* array) const { SafeArrayDestroy(array); }
};

// A SAFEARRAY owned for a scope, until released to whoever takes it.
using ArrayPtr = std::unique_ptr<SAFEARRAY, SafeArrayDestroyer>;

// A SAFEARRAY's data, locked for a scope; null when it cannot be locked.
class ArrayAccess {
  public:
    explicit ArrayAccess(SAFEARRAY* array) : array_(array) {
        if (array_ == nullptr || FAILED(SafeArrayAccessData(array_, &data_))) {
            data_ = nullptr;
        }
    }
    ~ArrayAccess() {
        if (data_ != nullptr) {
            SafeArrayUnaccessData(array_);
        }
    }
    ArrayAccess(const ArrayAccess&) = delete;
    ArrayAccess& operator=(const ArrayAccess&) = delete;

    void* data() const { return data_; }

  private:
    SAFEARRAY* array_;
    void* data_ = nullptr;
};

}  // namespace korven
