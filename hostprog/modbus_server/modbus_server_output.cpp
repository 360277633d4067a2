#include "modbus_server_output.h"

#include "modbus_server.h"
#include "modbus_server_settings.h"

namespace kv830host {

namespace {

class ModbusServerKind : public OutputKind {
  public:
    const char* name() const override { return "modbus_server"; }

    std::vector<kv830cli::Option> option_rows() override {
        return modbus_server_options(settings_);
    }

    bool check(const OutputContext& context, std::string& error) override {
        return check_modbus_server_settings(settings_, context.devices, error);
    }

    std::unique_ptr<Output> make(OutputContext& context, std::string& error) override {
        if (!settings_.enabled) {
            return nullptr;
        }
        ModbusServerConfig config;
        config.host = settings_.host;
        config.port = settings_.port;
        config.writes = settings_.writes;
        config.max_clients = static_cast<std::size_t>(settings_.max_clients);
        config.idle = std::chrono::seconds(settings_.idle_seconds);
        if (!served_devices(context.devices, true, config.devices, error)) {
            return nullptr;
        }
        if (config.writes && context.writes == nullptr) {
            error = "--modbus-server-writes: this program has no rule for remote writes";
            return nullptr;
        }
        return std::make_unique<ModbusServer>(std::move(config), context.status, context.writes);
    }

  private:
    ModbusServerSettings settings_;
};

}  // namespace

std::unique_ptr<OutputKind> make_modbus_server_kind() {
    return std::make_unique<ModbusServerKind>();
}

}  // namespace kv830host
