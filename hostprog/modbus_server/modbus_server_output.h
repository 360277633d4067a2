// The Modbus server as the program's list of outputs knows it.
#pragma once

#include <memory>

#include "output.h"

namespace kv830host {

std::unique_ptr<OutputKind> make_modbus_server_kind();

}  // namespace kv830host
