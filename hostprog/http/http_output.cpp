#include "http_output.h"

#include <utility>
#include <vector>

#include "host_port.h"
#include "http_server.h"
#include "http_settings.h"
#include "plant_state.h"
#include "web_assets.h"

namespace kv830host {

namespace {

// The page's generated table, as the server takes it.
const std::vector<HttpAsset>& page_assets() {
    static const std::vector<HttpAsset> assets = [] {
        std::vector<HttpAsset> out;
        for (std::size_t i = 0; i < kWebAssetCount; ++i) {
            const WebAsset& a = kWebAssets[i];
            out.push_back({a.path, a.content_type, a.gzip, a.gzip_size});
        }
        return out;
    }();
    return assets;
}

class HttpOutput : public Output {
  public:
    HttpOutput(const HttpSettings& settings, OutputContext& context)
        : settings_(settings), context_(context), plant_(context.interval_s), server_(plant_) {}

    bool start(std::string& error) override {
        server_.set_assets(page_assets().data(), page_assets().size());
        server_.set_trends(context_.trends);
        server_.set_alarms(context_.alarms);
        // Every output's families; the server writes the plant's own beside them.
        server_.set_metrics_source(context_.collect_metrics);
        SignalModels models;
        for (const DeviceInfo& d : context_.devices) {
            models[d.data_id] = &d.gateway.signals;
        }
        server_.set_signal_models(std::move(models));
        if (settings_.writes) {
            server_.enable_writes(settings_.token, *context_.writes);
        }
        if (!server_.start(settings_.address, settings_.port, error)) {
            error = "HTTP: " + error;
            return false;
        }
        // An IPv6 address in brackets, so that the line is a URL one can paste.
        context_.status->write_line(
            "", "kv830-host: serving http://" +
                    kv830net::join_host_port(settings_.address, server_.port()) + "/\n");
        return true;
    }

    void on_round(const RoundPtr& round) override { plant_.on_round(*round); }

    void on_served(const RoundPtr& round) override {
        plant_.serve_from_history(round->data_id, round->snapshot, round->document,
                                  round->end_unix_ms);
    }

    void stop() override { server_.stop(); }

    RoundNeeds needs() const override { return {true, true}; }

  private:
    const HttpSettings settings_;
    OutputContext& context_;
    PlantState plant_;
    HttpServer server_;
};

class HttpKind : public OutputKind {
  public:
    const char* name() const override { return "http"; }

    std::vector<kv830cli::Option> option_rows() override { return http_options(settings_); }

    bool check(const OutputContext&, std::string& error) override {
        return check_http_settings(settings_, error);
    }

    std::unique_ptr<Output> make(OutputContext& context, std::string&) override {
        if (!settings_.enabled) {
            return nullptr;
        }
        return std::make_unique<HttpOutput>(settings_, context);
    }

  private:
    HttpSettings settings_;
};

}  // namespace

std::unique_ptr<OutputKind> make_http_kind() {
    return std::make_unique<HttpKind>();
}

}  // namespace kv830host
