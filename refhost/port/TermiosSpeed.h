// The termios constant of a baud rate, for every reader of a serial line
// (the handset's port and a serial GPS).
#pragma once

#include <termios.h>

// B0 for a rate termios has no constant for (14400, 56000, 128000, 256000)
// or that is not a rate at all.
speed_t TermiosSpeedOf(int baud);
