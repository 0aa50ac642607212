#pragma once
// A kernel object's handle (an event, a thread) owned by whoever holds it:
// closed when the owner goes. Null when there is none.
#include <windows.h>

#include <memory>

namespace korven {

struct KernelHandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};

using KernelHandle = std::unique_ptr<void, KernelHandleCloser>;

}  // namespace korven
