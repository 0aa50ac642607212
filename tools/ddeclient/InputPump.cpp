#include "InputPump.h"

#include "CodePageText.h"

namespace ddetool {

InputPump::InputPump()
    : interruptEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      inputEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

InputPump::~InputPump() {
    // The reader may sit in a blocking read for ever: it was detached, and the
    // process end takes it. The events stay valid for it until then.
}

void InputPump::startReading() {
    if (reading_) {
        return;
    }
    reading_ = true;
    reader_ = std::thread([this] { readerLoop(); });
    reader_.detach();
}

void InputPump::readerLoop() {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    auto push = [this](std::wstring line) {
        if (!line.empty() && line.back() == L'\r') {
            line.pop_back();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(std::move(line));
        SetEvent(inputEvent_);
    };
    DWORD mode = 0;
    if (in != nullptr && in != INVALID_HANDLE_VALUE && GetConsoleMode(in, &mode)) {
        std::wstring pending;
        wchar_t buffer[1024];
        DWORD got = 0;
        while (ReadConsoleW(in, buffer, 1024, &got, nullptr) && got > 0) {
            for (DWORD i = 0; i < got; ++i) {
                if (buffer[i] == L'\n') {
                    push(std::move(pending));
                    pending.clear();
                } else if (buffer[i] == 0x1A) {  // Ctrl-Z: end of input
                    got = 0;
                    break;
                } else {
                    pending.push_back(buffer[i]);
                }
            }
            if (got == 0) {
                break;
            }
        }
        if (!pending.empty()) {
            push(std::move(pending));
        }
    } else if (in != nullptr && in != INVALID_HANDLE_VALUE) {
        std::string pending;
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(in, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            for (DWORD i = 0; i < got; ++i) {
                if (buffer[i] == '\n') {
                    push(inputLineToWide(pending));
                    pending.clear();
                } else {
                    pending.push_back(buffer[i]);
                }
            }
        }
        if (!pending.empty()) {
            push(inputLineToWide(pending));
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    SetEvent(inputEvent_);
}

void InputPump::pumpOnce(DWORD timeoutMs) {
    const HANDLE handles[2] = {interruptEvent_, inputEvent_};
    MsgWaitForMultipleObjects(reading_ ? 2 : 1, handles, FALSE, timeoutMs, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

bool InputPump::endOfInput() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reading_ && ended_ && lines_.empty();
}

std::optional<std::wstring> InputPump::nextLine() {
    while (!interrupted()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!lines_.empty()) {
                std::wstring line = std::move(lines_.front());
                lines_.pop_front();
                if (lines_.empty() && !ended_) {
                    ResetEvent(inputEvent_);
                }
                return line;
            }
            if (ended_ || !reading_) {
                return std::nullopt;
            }
        }
        pumpOnce(INFINITE);
    }
    return std::nullopt;
}

void InputPump::wait(DWORD ms) {
    const ULONGLONG deadline = GetTickCount64() + ms;
    // Lines that arrive meanwhile stay queued, so the input event must not wake
    // the wait: watch the end of input only for "wait 0".
    while (!interrupted()) {
        if (ms == 0) {
            if (endOfInput()) {
                return;
            }
            const HANDLE handles[1] = {interruptEvent_};
            MsgWaitForMultipleObjects(1, handles, FALSE, 50, QS_ALLINPUT);
        } else {
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline) {
                return;
            }
            const HANDLE handles[1] = {interruptEvent_};
            MsgWaitForMultipleObjects(1, handles, FALSE, static_cast<DWORD>(deadline - now),
                                      QS_ALLINPUT);
        }
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

bool InputPump::interrupted() const {
    return WaitForSingleObject(interruptEvent_, 0) == WAIT_OBJECT_0;
}

void InputPump::interrupt() {
    SetEvent(interruptEvent_);
}

}  // namespace ddetool
