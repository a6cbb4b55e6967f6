// The operating system's loader, implemented once per system
// (PluginLoader_posix.cpp, PluginLoader_win32.cpp). Private to refhost/core.
#pragma once

#include <string>

namespace plugin_loader_detail {

// Loads the library; null with the system's reason in `error` on failure.
void* OpenLibrary(const std::string& path, std::string& error);
// The address of the export `name`, or null.
void* FindExport(void* handle, const char* name);
void CloseLibrary(void* handle);
// The running program's folder, or "" when it cannot be found.
std::string ProgramFolder();
// libOrvik7316.so, Orvik7316.dll.
std::string LibraryFileName(const std::string& baseName);

}  // namespace plugin_loader_detail
