// The handset's command catalogue and the fixed command sequences.
//
// A command is known by its index 0..88 in the catalogue; sequences are lists
// of indices. A command is written to the port as the bytes of its string and
// nothing else (no terminator or separator); a backslash in a string is the
// plain byte 0x5C. Only the connect request and the dial text end in CR LF.
//
// Everything here is constant for the life of the library and may be read
// from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "platform/ByteString.h"

constexpr int CommandCount = 89;

// What is written for each command, and its human-readable name (names only
// document the catalogue; nothing sends or shows them).
extern const std::array<std::string_view, CommandCount> CommandStrings;
extern const std::array<std::string_view, CommandCount> CommandNames;

// Line speeds the handset knows; position 6 ("9600") is the set-up value the
// decoder hands to the port.
extern const std::array<std::string_view, 18> BaudRates;

// Durations as fractions of a day, the unit of the system's date-time values.
constexpr double HalfSecondDays = 0.5 / 86400.0;       // newer-position threshold
constexpr double ConnectTimeoutDays = 50.0 / 86400.0;  // limit of the connect handshake

// Switches the handset's reports on (and the noisy ones off) at test start.
constexpr std::array<int32_t, 15> StartupCommands{78, 62, 48, 52, 34, 40, 46, 43,
                                                  45, 57, 61, 79, 80, 82, 83};
// Asks for the next reports after each stored record, by the handset's mode.
constexpr std::array<int32_t, 5> IdleReportCommands{30, 34, 40, 38, 52};
constexpr std::array<int32_t, 3> DedicatedReportCommands{36, 38, 62};

// "123\2" and CR LF: the handshake request, not part of the catalogue.
constexpr std::string_view ConnectRequest{"123\\2\r\n", 7};

enum TCallAction : int32_t { caDial = 0, caHangUp = 1, caAnswer = 2 };

// The call-control text for `action`: dial gives "\D", the number and CR LF;
// hang up "\E"; answer "\S"; any other action the empty string. A dial
// number may hold only digits, '*', '#', the pause characters p and w (either
// case) and a leading '+'; an empty number or any other byte (a backslash, a
// blank, a control byte) gives the empty string, so a number can neither end
// the dial line early nor smuggle a second command to the handset. Throws
// std::bad_alloc only.
TByteString FormatCallCommand(int32_t action, const TByteString& number);
