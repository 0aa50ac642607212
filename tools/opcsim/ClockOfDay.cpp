#include "ClockOfDay.h"

#include <windows.h>

namespace opcsim {
namespace {

constexpr double kDayMs = 86400000.0;

using PreciseTime = VOID(WINAPI*)(LPFILETIME);

// The precise clock where Windows has it (8 and later, Wine); the plain one,
// of timer-tick resolution, elsewhere.
PreciseTime preciseTime() {
    static PreciseTime fn = [] {
        HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        return kernel ? reinterpret_cast<PreciseTime>(reinterpret_cast<void*>(
                            GetProcAddress(kernel, "GetSystemTimePreciseAsFileTime")))
                      : nullptr;
    }();
    return fn;
}

}  // namespace

double millisecondsOfDay() {
    FILETIME ft{};
    if (PreciseTime fn = preciseTime()) {
        fn(&ft);
    } else {
        GetSystemTimeAsFileTime(&ft);
    }
    const unsigned long long ticks =
        (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    constexpr unsigned long long kTicksPerDay = 864000000000ULL;  // 100 ns ticks
    return static_cast<double>(ticks % kTicksPerDay) / 10000.0;
}

double millisecondsSince(double stamp) {
    double age = millisecondsOfDay() - stamp;
    if (age < -kDayMs / 2) {
        age += kDayMs;
    }
    return age;
}

}  // namespace opcsim
