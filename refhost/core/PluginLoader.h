// Loads the plug-in library the way a host does: by file, through its four
// exports, and nothing else of it.
//
// The operating system's loader is behind three hooks implemented once per
// system (PluginLoader_posix.cpp, PluginLoader_win32.cpp); the rest is
// portable.
//
// Threads: LoadPlugin may run on any thread; one TLoadedPlugin may be used
// from several threads (its functions are the plug-in's four exports, which
// may be called from any thread).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "plugin/HandsetDecode.h"
#include "plugin/Orvik7316.h"

// The plug-in could not be loaded. The message names the file and says what
// happened (missing, not a library, which export is missing) and what to do.
class EPluginLoad : public std::runtime_error {
 public:
  explicit EPluginLoad(const std::string& message) : std::runtime_error(message) {}
};

// What the plug-in says it is.
struct TPluginIdentity {
  std::string Name;       // "Orvik7316"
  uint8_t Type = 0;       // device type, 1 for a handset
  uint8_t Frequency = 0;  // device frequency code
};

// A loaded plug-in library. Move-only; unloads the library when destroyed,
// so every decoder it made must be deleted first.
class TLoadedPlugin {
 public:
  TLoadedPlugin(TLoadedPlugin&& other) noexcept;
  TLoadedPlugin& operator=(TLoadedPlugin&& other) noexcept;
  TLoadedPlugin(const TLoadedPlugin&) = delete;
  TLoadedPlugin& operator=(const TLoadedPlugin&) = delete;
  ~TLoadedPlugin();

  const std::string& Path() const { return LibraryPath; }
  const TPluginIdentity& Identity() const { return Id; }

  // A new decoder on the host's port and mark source (both borrowed; they
  // must outlive the decoder). The caller owns it and deletes it before this
  // object goes. Null when the plug-in cannot build one (see GetDllDevice).
  THandSetDecode* NewDecoder(TDevicePort* port, TGPSMarkSource* marks) const;

  // The four exports, never null.
  TGetDeviceName GetDeviceName = nullptr;
  TGetDeviceType GetDeviceType = nullptr;
  TGetDeviceFrequency GetDeviceFrequency = nullptr;
  TGetDllDevice GetDllDevice = nullptr;

 private:
  friend TLoadedPlugin LoadPlugin(const std::string& path);
  TLoadedPlugin() = default;

  void* Handle = nullptr;
  std::string LibraryPath;
  TPluginIdentity Id;
};

// Loads the library at `path`, resolves the four exports and identifies the
// device (the name's shared string is released here). The result owns the
// loaded library. Throws EPluginLoad when the file is missing, is not a
// loadable library for this system, or lacks an export (named); nothing
// stays loaded then.
TLoadedPlugin LoadPlugin(const std::string& path);

// The plug-in's file name on this system: libOrvik7316.so or Orvik7316.dll.
std::string PluginFileName();

// Where the plug-in is looked for by default: next to the running program
// (the build puts both in the same folder). Never throws; falls back to the
// bare file name when the program's folder cannot be found.
std::string DefaultPluginPath();
