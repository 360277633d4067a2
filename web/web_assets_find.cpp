#include "web_assets.h"

namespace kv830host {

const WebAsset* find_web_asset(std::string_view path) {
    if (path == "/") {
        path = "/index.html";
    }
    for (std::size_t i = 0; i < kWebAssetCount; ++i) {
        if (path == kWebAssets[i].path) {
            return &kWebAssets[i];
        }
    }
    return nullptr;
}

}  // namespace kv830host
