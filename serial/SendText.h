// The one routine through which every text reaches the handset's port.
#pragma once

#include <string_view>

#include "host/DevicePort.h"

// Writes the bytes of `text` to `port`. An absent port or an empty text calls
// no port operation. When the write throws (anything at all), the port is
// closed once and the failure goes no further; a throwing Close, however,
// reaches the caller. The caller keeps ownership of both arguments.
void SendText(TDevicePort* port, std::string_view text);
