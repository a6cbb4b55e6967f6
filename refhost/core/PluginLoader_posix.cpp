#include <dlfcn.h>
#include <unistd.h>

#include <climits>

#include "refhost/core/PluginLoaderHooks.h"

namespace plugin_loader_detail {

void* OpenLibrary(const std::string& path, std::string& error) {
  void* const handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* const why = dlerror();
    error = why != nullptr ? why : "unknown reason";
  }
  return handle;
}

void* FindExport(void* handle, const char* name) { return dlsym(handle, name); }

void CloseLibrary(void* handle) { dlclose(handle); }

std::string ProgramFolder() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  const std::string exe(path, static_cast<size_t>(n));
  const size_t slash = exe.rfind('/');
  return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

std::string LibraryFileName(const std::string& baseName) { return "lib" + baseName + ".so"; }

}  // namespace plugin_loader_detail
