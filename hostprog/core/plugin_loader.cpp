#include "plugin_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

#include "qdx_host.h"

namespace kv830host {

namespace {

using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();

std::string dl_error() {
    const char* e = dlerror();
    return e != nullptr ? e : "unknown error";
}

bool readable(const std::string& path) {
    return ::access(path.c_str(), R_OK) == 0;
}

}  // namespace

PluginLoader::~PluginLoader() {
    // The providers' code lives in the plug-in, so they go first; the plug-in itself
    // stays mapped, as objects it created may still be torn down at exit.
    provider_ = nullptr;
    providers_.clear();
}

bool PluginLoader::load(const std::string& path, std::string& error) {
    // The plug-in leaves jsoncpp's and the framework's symbols undefined: they must be
    // in the global scope before it is mapped.
    // Both stay loaded for the life of the process, as the plug-in's code refers to them.
    runtime_[0] = dlopen("libjsoncpp.so.25", RTLD_NOW | RTLD_GLOBAL);
    if (runtime_[0] == nullptr) {
        error = "cannot load jsoncpp: " + dl_error();
        return false;
    }
    Dl_info self{};
    if (dladdr(reinterpret_cast<void*>(&qdxhost::function_name), &self) == 0 ||
        self.dli_fname == nullptr) {
        error = "cannot locate the host library";
        return false;
    }
    runtime_[1] = dlopen(self.dli_fname, RTLD_NOW | RTLD_GLOBAL);
    if (runtime_[1] == nullptr) {
        error = std::string("cannot load the host library ") + self.dli_fname + ": " + dl_error();
        return false;
    }
    plugin_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (plugin_ == nullptr) {
        error = "cannot load " + path + ": " + dl_error();
        return false;
    }
    dlerror();
    void* symbol = dlsym(plugin_, "get_providers");
    if (symbol == nullptr) {
        error = path + " has no get_providers: " + dl_error();
        return false;
    }
    providers_ = reinterpret_cast<GetProviders>(symbol)();
    for (const auto& p : providers_) {
        provider_ = dynamic_cast<const QDXSPDeviceProvider*>(p.get());
        if (provider_ != nullptr) {
            return true;
        }
    }
    error = path + " offers no serial device provider";
    return false;
}

std::string default_plugin_path() {
    char exe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) {
        return "kv830.so";
    }
    exe[n] = '\0';
    std::string dir(exe);
    dir.resize(dir.rfind('/'));
    std::string beside = dir + "/kv830.so";
    if (readable(beside)) {
        return beside;
    }
    std::string up = dir.substr(0, dir.rfind('/')) + "/kv830.so";
    if (readable(up)) {
        return up;
    }
#ifdef KV830_PLUGIN_DIR
    // Installed from the package: the plug-in sits in the package's private folder.
    const std::string installed = std::string(KV830_PLUGIN_DIR) + "/kv830.so";
    if (readable(installed)) {
        return installed;
    }
#endif
    return beside;
}

}  // namespace kv830host
