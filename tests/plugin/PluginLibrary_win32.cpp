#include <windows.h>

#include <stdexcept>

#include "tests/plugin/PluginLibrary.h"

TPluginLibrary::TPluginLibrary(const std::string& fileName)
    : Handle(reinterpret_cast<void*>(LoadLibraryA(fileName.c_str()))) {
  if (!Handle) {
    throw std::runtime_error("cannot load " + fileName + ": error " + std::to_string(GetLastError()));
  }
}

TPluginLibrary::~TPluginLibrary() { FreeLibrary(static_cast<HMODULE>(Handle)); }

void* TPluginLibrary::Find(const char* name) const {
  // FARPROC goes through the generic function type to an object pointer.
  const FARPROC proc = GetProcAddress(static_cast<HMODULE>(Handle), name);
  return reinterpret_cast<void*>(reinterpret_cast<void (*)(void)>(proc));
}

std::string TPluginLibrary::PlugInFileName(const std::string& baseName) {
  return baseName + ".dll";
}
