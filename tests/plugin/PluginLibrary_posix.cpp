#include <dlfcn.h>

#include <stdexcept>

#include "tests/plugin/PluginLibrary.h"

TPluginLibrary::TPluginLibrary(const std::string& fileName)
    : Handle(dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL)) {
  if (!Handle) throw std::runtime_error("cannot load " + fileName + ": " + dlerror());
}

TPluginLibrary::~TPluginLibrary() { dlclose(Handle); }

void* TPluginLibrary::Find(const char* name) const { return dlsym(Handle, name); }

std::string TPluginLibrary::PlugInFileName(const std::string& baseName) {
  return "lib" + baseName + ".so";
}
