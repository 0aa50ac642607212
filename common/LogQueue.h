#pragma once
// The log lines waiting for the log's writer thread: encoded bytes in the
// order they were logged, up to a bound. Beyond the bound the newest lines are
// dropped and counted; the next line taken in after a gap is preceded by a
// line that says how many went (the text is the caller's). Not locked: its
// owner (ConsoleLog) guards it. Free of Windows headers.
#include <cstddef>
#include <deque>
#include <functional>
#include <string>

namespace korven {

struct QueuedLine {
    bool isError = false;
    std::string bytes;  // the line as written, line end included
};

class LogQueue {
  public:
    // `gapLine` makes the bytes of the line that reports `dropped` lines.
    LogQueue(std::size_t boundBytes, std::function<std::string(unsigned long)> gapLine);

    // Queues a line unless the bound is reached; false when it was dropped.
    bool push(bool isError, std::string bytes);
    // Every queued line, oldest first; the gap line too when lines were
    // dropped after the last one queued. Their room stays taken until the
    // writer says they are written.
    std::deque<QueuedLine> takeAll();
    void written(std::size_t bytes);

    bool empty() const { return lines_.empty() && dropped_ == 0; }

  private:
    void closeGap();

    std::size_t bound_;
    std::function<std::string(unsigned long)> gapLine_;
    std::deque<QueuedLine> lines_;
    std::size_t bytes_ = 0;
    unsigned long dropped_ = 0;
};

}  // namespace korven
