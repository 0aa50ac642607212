#pragma once
// A wide string in COM task memory that a call handed out, freed when its
// owner leaves scope.
#include <windows.h>
#include <objbase.h>

#include <string>

namespace opcbrowse {

class TaskText {
  public:
    TaskText() = default;
    ~TaskText() { CoTaskMemFree(p_); }
    TaskText(const TaskText&) = delete;
    TaskText& operator=(const TaskText&) = delete;

    // For an out parameter: frees what is held, hands out the slot.
    LPOLESTR* out() {
        CoTaskMemFree(p_);
        p_ = nullptr;
        return &p_;
    }
    // The text; empty when the call handed out none.
    std::wstring text() const { return p_ ? std::wstring(p_) : std::wstring(); }

  private:
    LPOLESTR p_ = nullptr;
};

}  // namespace opcbrowse
