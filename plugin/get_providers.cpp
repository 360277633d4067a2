#include <utility>

#include "kv830.h"
#include "kv830_provider.h"

KV830Provider::~KV830Provider() = default;

QDXSPDevice* KV830Provider::create() const {
    return new KV830();
}

std::vector<std::shared_ptr<Provider>> get_providers() {
    std::vector<std::shared_ptr<Provider>> providers;
    std::shared_ptr<Provider> provider = std::make_shared<KV830Provider>();
    providers.push_back(std::move(provider));
    return providers;
}
