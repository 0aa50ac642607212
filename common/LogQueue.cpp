#include "common/LogQueue.h"

#include <utility>

namespace korven {

LogQueue::LogQueue(std::size_t boundBytes, std::function<std::string(unsigned long)> gapLine)
    : bound_(boundBytes), gapLine_(std::move(gapLine)) {}

bool LogQueue::push(bool isError, std::string bytes) {
    if (bytes_ + bytes.size() > bound_) {
        ++dropped_;
        return false;
    }
    // The report of a gap stands where the lines went missing; it is let in
    // beyond the bound, so the count is never lost.
    closeGap();
    bytes_ += bytes.size();
    lines_.push_back({isError, std::move(bytes)});
    return true;
}

std::deque<QueuedLine> LogQueue::takeAll() {
    closeGap();
    std::deque<QueuedLine> taken;
    taken.swap(lines_);
    return taken;
}

void LogQueue::written(std::size_t bytes) {
    bytes_ = bytes < bytes_ ? bytes_ - bytes : 0;
}

void LogQueue::closeGap() {
    if (dropped_ == 0) {
        return;
    }
    std::string report = gapLine_(dropped_);
    dropped_ = 0;
    bytes_ += report.size();
    lines_.push_back({true, std::move(report)});
}

}  // namespace korven
