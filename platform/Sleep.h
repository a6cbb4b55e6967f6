// Blocking pause of the calling thread.
#pragma once

#include <cstdint>

// Suspends the calling thread for at least `ms` milliseconds (0 yields).
// Never fails. Any thread.
void SleepMs(uint32_t ms);
