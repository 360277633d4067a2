// HTTP as an output of the program: the plant's state as the page, /metrics and the API
// read it, served by the embedded server.
#pragma once

#include <memory>

#include "output.h"

namespace kv830host {

std::unique_ptr<OutputKind> make_http_kind();

}  // namespace kv830host
