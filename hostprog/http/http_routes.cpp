#include <cstring>

#include "http_core.h"
#include "option_table.h"

namespace kv830host {

namespace {

struct Route {
    const char* path;
    const char* allow;  // the methods it takes, as the Allow header lists them
    void (*serve)(ServerCore&, const ExchangePtr&);
};

constexpr const char* kReadOnly = "GET, HEAD";

// An event stream has no use for HEAD: its headers say nothing a GET's would not.
const Route kRoutes[] = {
    {"/metrics",        kReadOnly, serve_metrics  },
    {"/healthz",        kReadOnly, serve_healthz  },
    {"/api/snapshot",   kReadOnly, serve_snapshot },
    {"/api/status",     kReadOnly, serve_status   },
    {"/api/events",     "GET",     serve_events   },
    {"/api/history",    kReadOnly, serve_history  },
    {"/api/write",      "POST",    serve_write    },
    {"/api/signals",    kReadOnly, serve_signals  },
    {"/api/alarms",     kReadOnly, serve_alarms   },
    {"/api/alarms/ack", "POST",    serve_alarm_ack},
};
const Route kAssetRoute = {"", kReadOnly, serve_asset};

bool allows(const char* allow, const std::string& method) {
    const char* at = std::strstr(allow, method.c_str());
    while (at != nullptr) {
        const char after = at[method.size()];
        if ((at == allow || at[-1] == ' ') && (after == '\0' || after == ',')) {
            return true;
        }
        at = std::strstr(at + 1, method.c_str());
    }
    return false;
}

const Route* find_route(const ServerCore& core, const std::string& path) {
    for (const Route& r : kRoutes) {
        if (path == r.path) {
            return &r;
        }
    }
    if (core.assets.count(path == "/" ? "/index.html" : path) != 0) {
        return &kAssetRoute;
    }
    return nullptr;
}

}  // namespace

void route_request(ServerCore& core, const ExchangePtr& ex) {
    const Route* route = find_route(core, ex->path);
    if (route == nullptr) {
        ex->answer(refusal(404, "not found: " + ex->path));
        return;
    }
    if (ex->method.empty() || !allows(route->allow, ex->method)) {
        Reply r = refusal(405, "use " + std::string(route->allow) + " for " + ex->path);
        r.set("Allow", route->allow);
        ex->answer(std::move(r));
        return;
    }
    route->serve(core, ex);
}

bool parse_unsigned(const std::string& text, unsigned max, unsigned& out) {
    long long value = 0;
    if (!kv830cli::parse_decimal(text, 0, static_cast<long long>(max), value)) {
        return false;
    }
    out = static_cast<unsigned>(value);
    return true;
}

}  // namespace kv830host
