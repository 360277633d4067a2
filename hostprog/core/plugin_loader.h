// Loading a device plug-in the way the real host does: its runtime (jsoncpp and the
// host framework) globally visible first, then the plug-in, then its provider.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "qdx_device.h"

namespace kv830host {

class PluginLoader {
  public:
    PluginLoader() = default;
    ~PluginLoader();
    PluginLoader(const PluginLoader&) = delete;
    PluginLoader& operator=(const PluginLoader&) = delete;

    // Loads the runtime and the plug-in at `path` and takes its serial device provider.
    bool load(const std::string& path, std::string& error);

    // A new device of the plug-in; owned by the caller, to be destroyed before this.
    QDXSPDevice* create() const { return provider_->create(); }

  private:
    void* runtime_[2] = {nullptr, nullptr};  // jsoncpp and the host library
    void* plugin_ = nullptr;
    std::vector<std::shared_ptr<Provider>> providers_;
    const QDXSPDeviceProvider* provider_ = nullptr;
};

// kv830.so beside the running program, or one folder up (the build tree's layout).
std::string default_plugin_path();

}  // namespace kv830host
