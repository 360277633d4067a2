// A host that only counts what a device publishes and stores: enough for tests that
// drive whole cycles and check that each completed round reached the host once.
#pragma once

#include "qdx_host.h"

namespace kv830test {

class CountingHost : public qdxhost::Observer {
  public:
    int published = 0;
    int saved = 0;
    int on_send_sp(QDXVDevice&, int, const unsigned char*, unsigned, bool) override {
        ++published;
        return 0;
    }
    int on_save_history(QDXVDevice&, const unsigned char*, unsigned) override {
        ++saved;
        return 0;
    }
};

}  // namespace kv830test
