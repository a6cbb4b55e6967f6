#include "refhost/core/PluginLoader.h"

#include <filesystem>
#include <system_error>
#include <utility>

#include "refhost/core/PluginLoaderHooks.h"

using namespace plugin_loader_detail;

namespace {

constexpr const char* PluginBaseName = "Orvik7316";

void* RequireExport(void* handle, const std::string& path, const char* name) {
  void* const address = FindExport(handle, name);
  if (address == nullptr) {
    CloseLibrary(handle);
    throw EPluginLoad("The plug-in " + path + " does not export " + name +
                      ": it is not an Orvik7316 plug-in or is damaged. Rebuild it, or give the "
                      "right library with --plugin.");
  }
  return address;
}

template <typename TFunction>
TFunction AsFunction(void* address) {
  return reinterpret_cast<TFunction>(address);
}

}  // namespace

TLoadedPlugin::TLoadedPlugin(TLoadedPlugin&& other) noexcept { *this = std::move(other); }

TLoadedPlugin& TLoadedPlugin::operator=(TLoadedPlugin&& other) noexcept {
  if (this != &other) {
    if (Handle != nullptr) CloseLibrary(Handle);
    Handle = std::exchange(other.Handle, nullptr);
    LibraryPath = std::move(other.LibraryPath);
    Id = std::move(other.Id);
    GetDeviceName = other.GetDeviceName;
    GetDeviceType = other.GetDeviceType;
    GetDeviceFrequency = other.GetDeviceFrequency;
    GetDllDevice = other.GetDllDevice;
  }
  return *this;
}

TLoadedPlugin::~TLoadedPlugin() {
  if (Handle != nullptr) CloseLibrary(Handle);
}

THandSetDecode* TLoadedPlugin::NewDecoder(TDevicePort* port, TGPSMarkSource* marks) const {
  // A handset plug-in's decoder is a THandSetDecode; the interface levels
  // are a single-inheritance chain, so the pointer is the same object.
  return static_cast<THandSetDecode*>(GetDllDevice(port, marks));
}

TLoadedPlugin LoadPlugin(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    throw EPluginLoad("The plug-in " + path +
                      " does not exist. Build it first (cmake --build <build folder>) or give "
                      "its path with --plugin.");
  }
  std::string why;
  void* const handle = OpenLibrary(path, why);
  if (handle == nullptr) {
    throw EPluginLoad("The plug-in " + path + " could not be loaded (" + why +
                      "). Give a plug-in built for this system with --plugin.");
  }
  TLoadedPlugin plugin;
  plugin.GetDeviceName = AsFunction<TGetDeviceName>(RequireExport(handle, path, "GetDeviceName"));
  plugin.GetDeviceType = AsFunction<TGetDeviceType>(RequireExport(handle, path, "GetDeviceType"));
  plugin.GetDeviceFrequency =
      AsFunction<TGetDeviceFrequency>(RequireExport(handle, path, "GetDeviceFrequency"));
  plugin.GetDllDevice = AsFunction<TGetDllDevice>(RequireExport(handle, path, "GetDllDevice"));
  plugin.Handle = handle;
  plugin.LibraryPath = path;

  PSharedStr name = nullptr;
  plugin.GetDeviceName(&name);
  if (name != nullptr) {
    plugin.Id.Name.assign(name, static_cast<size_t>(SharedStrLength(name)));
    SharedStrRelease(name);
  }
  plugin.Id.Type = plugin.GetDeviceType();
  plugin.Id.Frequency = plugin.GetDeviceFrequency();
  return plugin;
}

std::string PluginFileName() { return LibraryFileName(PluginBaseName); }

std::string DefaultPluginPath() {
  const std::string folder = ProgramFolder();
  return folder.empty() ? PluginFileName() : (std::filesystem::path(folder) / PluginFileName()).string();
}
