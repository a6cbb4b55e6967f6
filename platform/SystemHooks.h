// The few services each operating system supplies to the portable parts of
// platform/ (implemented once per system in System_<os>.cpp). Private to
// platform/.
#pragma once

#include <string_view>

namespace platform_detail {

// The default user message: a modal box on Windows, stderr elsewhere.
void DefaultUserMessage(std::string_view text);

}  // namespace platform_detail
