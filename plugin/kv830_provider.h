// The factory through which the host creates plant controller devices.
#pragma once

#include <memory>
#include <vector>

#include "kv830_api.h"
#include "qdx_device.h"

class KV830_API KV830Provider : public QDXSPDeviceProvider {
  public:
    ~KV830Provider() override;
    QDXSPDevice* create() const override;
};

// The plug-in's one entry point, looked up by the host under this plain name.
// The host calls it as the C++ function it is; C linkage only keeps its name undecorated.
#ifdef __clang__
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" KV830_API std::vector<std::shared_ptr<Provider>> get_providers();
#ifdef __clang__
#pragma clang diagnostic pop
#endif
