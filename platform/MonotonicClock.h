// A clock for deadlines, cheap enough to read once per received frame.
#pragma once

#include <cstdint>

// Milliseconds since an arbitrary start; never goes back. Its resolution is
// the system's tick (a few milliseconds, 16 ms on Windows), and reading it
// makes no system call. Never fails. Any thread.
int64_t MonotonicMs();
