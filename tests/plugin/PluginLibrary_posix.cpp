#include <dlfcn.h>

#include <stdexcept>

#include "tests/plugin/PluginLibrary.h"

// The folder of the test programs, which holds the plug-in too. A full path
// because dlopen's own search may start from an interposed library (the
// sanitizers' runtimes) rather than from the program and its run path.
TPluginLibrary::TPluginLibrary(const std::string& fileName)
    : Handle(dlopen((std::string(ORVIK_PROGRAM_DIR) + "/" + fileName).c_str(), RTLD_NOW | RTLD_LOCAL)) {
  if (!Handle) throw std::runtime_error("cannot load " + fileName + ": " + dlerror());
}

TPluginLibrary::~TPluginLibrary() { dlclose(Handle); }

void* TPluginLibrary::Find(const char* name) const { return dlsym(Handle, name); }

std::string TPluginLibrary::PlugInFileName(const std::string& baseName) {
  return "lib" + baseName + ".so";
}
