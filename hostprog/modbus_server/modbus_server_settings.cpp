#include "modbus_server_settings.h"

#include <array>

#include "host_port.h"

namespace kv830host {

namespace {

std::function<bool(const std::string&, std::string&)> count_into(long most, long& into,
                                                                 bool& given) {
    return [most, &into, &given](const std::string& v, std::string& error) {
        long long n = 0;
        if (!kv830cli::parse_decimal(v, 1, most, n)) {
            error =
                "needs a whole number from 1 to " + std::to_string(most) + ", not \"" + v + "\"";
            return false;
        }
        into = static_cast<long>(n);
        given = true;
        return true;
    };
}

}  // namespace

std::vector<kv830cli::Option> modbus_server_options(ModbusServerSettings& s) {
    return {
        {"modbus-server", 0,                                               "[ADDR:]PORT",
         "serve Modbus TCP (functions 3 and 2) from each device's last round,\n"
         "without a request on its line; a bare PORT binds 127.0.0.1 only (off)",                                       [&s](const std::string& v, std::string& error) {
             s.enabled = true;
             kv830net::HostPortForm form;
             form.default_host = "127.0.0.1";  // a bare port stays on this machine
             form.min_port = 0;                // the system picks a free one
             return kv830net::split_host_port(v, form, s.host, s.port, error);
         }},
        {                            "modbus-server-writes",              0,                                         nullptr,
         "let Modbus clients write operators' settings (functions 6 and 16),\n"
         "each through the rule every remote write keeps",                                     [&s](const std::string&,                 std::string&) {
             s.writes = true;
             return true;
         }                         },
        {  "modbus-server-max-clients",            0,         "N",                                                                    "Modbus clients connected at once, 1 to 1000 (32)",
         count_into(kMostMaxClients,                                                                               s.max_clients,          s.limits_given)},
        { "modbus-server-idle-timeout",            0, "S",
         "close a Modbus connection that sent nothing for S seconds (60)", count_into(kMostIdleSeconds,           s.idle_seconds,          s.limits_given)},
    };
}

bool served_devices(const std::vector<DeviceInfo>& devices, bool one_each,
                    std::vector<ServedDevice>& out, std::string& error) {
    out.clear();
    std::array<const DeviceInfo*, kUnitIds> owner{};
    for (const DeviceInfo& d : devices) {
        const int unit = d.gateway.server_unit.value_or(d.slave);
        if (unit < 0 || unit >= kUnitIds) {
            error = "data id " + std::to_string(d.data_id) + " has slave address " +
                    std::to_string(d.slave) + ", which is no unit id: give it a \"" +
                    kServerUnitMember + "\"";
            return false;
        }
        ServedDevice served;
        served.data_id = d.data_id;
        served.unit = static_cast<std::uint8_t>(unit);
        const DeviceInfo*& first = owner[served.unit];
        if (one_each && first != nullptr) {
            error = "--modbus-server: data ids " + std::to_string(first->data_id) + " and " +
                    std::to_string(d.data_id) + " would both answer unit id " +
                    std::to_string(unit) + "; give one of them a \"" + kServerUnitMember + "\"";
            return false;
        }
        first = &d;
        out.push_back(served);
    }
    return true;
}

bool check_modbus_server_settings(const ModbusServerSettings& s,
                                  const std::vector<DeviceInfo>& devices, std::string& error) {
    if (!s.enabled && (s.writes || s.limits_given)) {
        error =
            "--modbus-server-writes, --modbus-server-max-clients and "
            "--modbus-server-idle-timeout need --modbus-server";
        return false;
    }
    std::vector<ServedDevice> served;
    return served_devices(devices, s.enabled, served, error);
}

}  // namespace kv830host
