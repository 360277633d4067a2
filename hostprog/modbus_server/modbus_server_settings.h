// The Modbus server's command line and the unit ids its devices answer, checked once the
// whole command line and settings are read and before any link opens.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "last_rounds.h"
#include "option_table.h"
#include "output.h"

namespace kv830host {

constexpr long kDefaultMaxClients = 32;
constexpr long kMostMaxClients = 1000;
constexpr long kDefaultIdleSeconds = 60;
constexpr long kMostIdleSeconds = 86400;

struct ModbusServerSettings {
    bool enabled = false;            // --modbus-server given
    std::string host = "127.0.0.1";  // a bare port stays on this machine
    int port = 0;                    // 0: the system picks a free one
    bool writes = false;             // --modbus-server-writes
    long max_clients = kDefaultMaxClients;
    long idle_seconds = kDefaultIdleSeconds;
    bool limits_given = false;  // --modbus-server-max-clients or --modbus-server-idle-timeout
};

// Rows for the program's option table.
std::vector<kv830cli::Option> modbus_server_options(ModbusServerSettings& settings);

// The unit id of each device: its "server_unit" when given (checked where the settings are
// read), else its slave address. When `one_each` (the server is on), refuses two devices on
// one unit id.
bool served_devices(const std::vector<DeviceInfo>& devices, bool one_each,
                    std::vector<ServedDevice>& out, std::string& error);

// Options that need --modbus-server without it, and the unit ids above.
bool check_modbus_server_settings(const ModbusServerSettings& settings,
                                  const std::vector<DeviceInfo>& devices, std::string& error);

}  // namespace kv830host
