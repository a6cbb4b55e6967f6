// Loads a shared library the way a host loads its plug-ins and looks its
// functions up by their plain names. One file per system implements it.
#pragma once

#include <string>

class TPluginLibrary {
 public:
  // Loads `fileName` from the executable's own folder (the application
  // folder on Windows, the build's program folder elsewhere). Throws std::runtime_error
  // with the system's reason when it cannot be loaded.
  explicit TPluginLibrary(const std::string& fileName);
  // Unloads the library.
  ~TPluginLibrary();
  TPluginLibrary(const TPluginLibrary&) = delete;
  TPluginLibrary& operator=(const TPluginLibrary&) = delete;

  // The address of the exported function `name`, or null when there is none.
  void* Find(const char* name) const;

  template <typename TFunction>
  TFunction Function(const char* name) const {
    return reinterpret_cast<TFunction>(Find(name));
  }

  // The file name of the plug-in library on this system.
  static std::string PlugInFileName(const std::string& baseName);

 private:
  void* Handle;
};
