#pragma once
// Owners of what DDEML hands out: string handles, data handles and the access
// to a data handle's bytes. Each frees its handle once, in its destructor.
#include <windows.h>
#include <ddeml.h>

#include <string>
#include <utility>

namespace ddetool {

class StringHandle {
  public:
    StringHandle() = default;
    // A null name (the "*" wildcard) gives a null handle, which is no error.
    StringHandle(DWORD instance, const wchar_t* name)
        : instance_(instance),
          handle_(name ? DdeCreateStringHandleW(instance, name, CP_WINUNICODE) : nullptr) {}
    ~StringHandle() { reset(); }
    StringHandle(StringHandle&& other) noexcept
        : instance_(other.instance_), handle_(std::exchange(other.handle_, nullptr)) {}
    StringHandle& operator=(StringHandle&& other) noexcept {
        if (this != &other) {
            reset();
            instance_ = other.instance_;
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    StringHandle(const StringHandle&) = delete;
    StringHandle& operator=(const StringHandle&) = delete;

    HSZ get() const { return handle_; }

  private:
    void reset() {
        if (handle_ != nullptr) {
            DdeFreeStringHandle(instance_, handle_);
            handle_ = nullptr;
        }
    }
    DWORD instance_ = 0;
    HSZ handle_ = nullptr;
};

// A data handle this process owns (the result of a request): freed at the end.
class DataHandle {
  public:
    explicit DataHandle(HDDEDATA handle) : handle_(handle) {}
    ~DataHandle() {
        if (handle_ != nullptr) {
            DdeFreeDataHandle(handle_);
        }
    }
    DataHandle(const DataHandle&) = delete;
    DataHandle& operator=(const DataHandle&) = delete;

    HDDEDATA get() const { return handle_; }

  private:
    HDDEDATA handle_;
};

// The bytes of a data handle, between DdeAccessData and DdeUnaccessData.
class DataAccess {
  public:
    explicit DataAccess(HDDEDATA handle) : handle_(handle) {
        if (handle_ != nullptr) {
            bytes_ = DdeAccessData(handle_, &size_);
        }
    }
    ~DataAccess() {
        if (bytes_ != nullptr) {
            DdeUnaccessData(handle_);
        }
    }
    DataAccess(const DataAccess&) = delete;
    DataAccess& operator=(const DataAccess&) = delete;

    bool ok() const { return bytes_ != nullptr; }
    std::string copy() const {
        return bytes_ ? std::string(reinterpret_cast<const char*>(bytes_), size_) : std::string();
    }

  private:
    HDDEDATA handle_;
    LPBYTE bytes_ = nullptr;
    DWORD size_ = 0;
};

// The wide text of a string handle ("" for a null handle).
inline std::wstring queryString(DWORD instance, HSZ handle) {
    if (handle == nullptr) {
        return {};
    }
    wchar_t buffer[512] = {};
    const DWORD chars = DdeQueryStringW(instance, handle, buffer, 511, CP_WINUNICODE);
    return std::wstring(buffer, chars < 512 ? chars : 511);
}

}  // namespace ddetool
