#include <windows.h>

#include "refhost/core/PluginLoaderHooks.h"

namespace plugin_loader_detail {

void* OpenLibrary(const std::string& path, std::string& error) {
  // No error box of the system's own for a file that is not a library.
  const UINT oldMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  HMODULE const module = LoadLibraryA(path.c_str());
  const DWORD code = GetLastError();
  SetErrorMode(oldMode);
  if (module == nullptr) {
    error = code == ERROR_BAD_EXE_FORMAT ? "not a library for this system (wrong format or word size)"
                                         : "system error " + std::to_string(code);
  }
  return reinterpret_cast<void*>(module);
}

void* FindExport(void* handle, const char* name) {
  // FARPROC goes through the generic function type to an object pointer.
  const FARPROC proc = GetProcAddress(static_cast<HMODULE>(handle), name);
  return reinterpret_cast<void*>(reinterpret_cast<void (*)(void)>(proc));
}

void CloseLibrary(void* handle) { FreeLibrary(static_cast<HMODULE>(handle)); }

std::string ProgramFolder() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  const std::string exe(path, n);
  const size_t slash = exe.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

std::string LibraryFileName(const std::string& baseName) { return baseName + ".dll"; }

}  // namespace plugin_loader_detail
