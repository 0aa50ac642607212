#pragma once
// Waiting without going deaf: every wait of the tool dispatches window messages
// (DDEML delivers advise data through them) while it watches for lines from
// standard input, the end of that input, and Ctrl-C.
#include <windows.h>

#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace ddetool {

class InputPump {
  public:
    InputPump();
    ~InputPump();
    InputPump(const InputPump&) = delete;
    InputPump& operator=(const InputPump&) = delete;

    // Starts the thread that reads standard input (once; later calls do nothing).
    void startReading();

    // The next line of standard input, pumping messages while none is there;
    // nullopt at the end of input or on Ctrl-C.
    std::optional<std::wstring> nextLine();

    // Pumps messages for ms milliseconds. With ms == 0: until Ctrl-C, or, once
    // standard input is being read, the end of that input.
    void wait(DWORD ms);

    bool interrupted() const;

    // Called from the console control handler's thread.
    void interrupt();

  private:
    void readerLoop();
    // Pumps until the handle list signals or the timeout passes.
    void pumpOnce(DWORD timeoutMs);
    bool endOfInput();

    HANDLE interruptEvent_;
    HANDLE inputEvent_;  // set while lines are queued or the input has ended
    std::mutex mutex_;
    std::deque<std::wstring> lines_;
    bool ended_ = false;
    bool reading_ = false;
    std::thread reader_;
};

}  // namespace ddetool
