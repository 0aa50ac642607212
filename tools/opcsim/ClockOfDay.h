// The wall clock as the simulation's `clock` items carry it, so that a client
// on the same machine can tell how old a value is when it arrives.
#pragma once

namespace opcsim {

// Milliseconds since 00:00 UTC of the current day, to a tenth of a
// microsecond where the system clock has it (0 <= value < 86,400,000).
double millisecondsOfDay();

// How long ago, in milliseconds, a value of millisecondsOfDay() was taken,
// also across midnight.
double millisecondsSince(double stamp);

}  // namespace opcsim
