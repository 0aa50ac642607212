#include "common/TickClock.h"

namespace korven {
namespace {

TickSource gSource = nullptr;

}  // namespace

ULONGLONG tickCount() {
    return gSource ? gSource() : GetTickCount64();
}

void replaceTickSource(TickSource source) {
    gSource = source;
}

}  // namespace korven
