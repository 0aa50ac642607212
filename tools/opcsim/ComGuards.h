// Small owners for what COM hands out, so every early return frees it.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <utility>
#include <vector>

namespace opcsim {

// A VARIANT that is cleared when it goes out of scope.
class VariantGuard {
  public:
    VariantGuard() { VariantInit(&v_); }
    VariantGuard(const VariantGuard& other) {
        VariantInit(&v_);
        VariantCopy(&v_, const_cast<VARIANT*>(&other.v_));
    }
    VariantGuard& operator=(const VariantGuard& other) {
        if (this != &other) {
            VariantClear(&v_);
            VariantCopy(&v_, const_cast<VARIANT*>(&other.v_));
        }
        return *this;
    }
    ~VariantGuard() { VariantClear(&v_); }
    VARIANT* get() { return &v_; }
    const VARIANT* get() const { return &v_; }
    VARIANT* operator->() { return &v_; }
    const VARIANT* operator->() const { return &v_; }

  private:
    VARIANT v_;
};

// VARIANTs in an array of our own, as an [in, size_is] argument takes them,
// cleared when it goes out of scope.
class VariantArray {
  public:
    explicit VariantArray(size_t count) : v_(count ? count : 1) {
        for (VARIANT& v : v_) {
            VariantInit(&v);
        }
    }
    VariantArray(const VariantArray&) = delete;
    VariantArray& operator=(const VariantArray&) = delete;
    ~VariantArray() {
        for (VARIANT& v : v_) {
            VariantClear(&v);
        }
    }
    VARIANT* data() { return v_.data(); }
    VARIANT& operator[](size_t i) { return v_[i]; }

  private:
    std::vector<VARIANT> v_;
};

// Memory from the COM task allocator, freed unless released to a caller.
template <typename T>
class TaskMem {
  public:
    TaskMem() = default;
    explicit TaskMem(size_t count)
        : p_(static_cast<T*>(CoTaskMemAlloc(count ? count * sizeof(T) : sizeof(T)))) {
        if (p_) {
            ZeroMemory(p_, (count ? count : 1) * sizeof(T));
        }
    }
    TaskMem(const TaskMem&) = delete;
    TaskMem& operator=(const TaskMem&) = delete;
    ~TaskMem() { CoTaskMemFree(p_); }
    T* get() const { return p_; }
    T& operator[](size_t i) const { return p_[i]; }
    T* release() { return std::exchange(p_, nullptr); }

  private:
    T* p_ = nullptr;
};

// A copy of a wide text in task memory (the form [out, string] needs).
inline LPWSTR taskString(const wchar_t* text, size_t length) {
    auto* p = static_cast<LPWSTR>(CoTaskMemAlloc((length + 1) * sizeof(wchar_t)));
    if (p) {
        CopyMemory(p, text, length * sizeof(wchar_t));
        p[length] = L'\0';
    }
    return p;
}

// A reference to one of our own objects, held for a scope: a method that
// calls out (a shutdown request, say) may see its client release the object
// meanwhile, and must still finish on a live object.
class RefHold {
  public:
    explicit RefHold(IUnknown* object) : object_(object) { object_->AddRef(); }
    RefHold(const RefHold&) = delete;
    RefHold& operator=(const RefHold&) = delete;
    ~RefHold() { object_->Release(); }

  private:
    IUnknown* object_;
};

// A global memory block locked for the lifetime of the guard.
class GlobalLockGuard {
  public:
    explicit GlobalLockGuard(HGLOBAL h) : h_(h), p_(h ? GlobalLock(h) : nullptr) {}
    GlobalLockGuard(const GlobalLockGuard&) = delete;
    GlobalLockGuard& operator=(const GlobalLockGuard&) = delete;
    ~GlobalLockGuard() {
        if (p_) {
            GlobalUnlock(h_);
        }
    }
    void* get() const { return p_; }

  private:
    HGLOBAL h_;
    void* p_;
};

}  // namespace opcsim
