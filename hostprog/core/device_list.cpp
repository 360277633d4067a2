#include "device_list.h"

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <utility>

#include "host_port.h"
#include "option_table.h"

namespace kv830host {

namespace {

constexpr const char* kDataIdMember = "data_id";

// The settings one serial line is set to: devices sharing the line must agree on them,
// and a TCP peer shared by several unit ids carries them alike (timeouts, retries).
struct LineField {
    const char* name;
    int qdxhost::LinkSettings::*member;
};
const LineField kLineFields[] = {
    {"baud",       &qdxhost::LinkSettings::baud      },
    {"data_bits",  &qdxhost::LinkSettings::data_bits },
    {"stop_bits",  &qdxhost::LinkSettings::stop_bits },
    {"timeout_ms", &qdxhost::LinkSettings::timeout_ms},
    {"pause_ms",   &qdxhost::LinkSettings::pause_ms  },
    {"retries",    &qdxhost::LinkSettings::retries   },
};

std::string entry_name(Json::ArrayIndex i) {
    return "devices[" + std::to_string(i) + "]";
}

bool check_entry_members(const Json::Value& entry, std::string& error) {
    std::vector<std::string> known = device_members();
    known.emplace_back(kDataIdMember);
    // All of the gateway's names, so that one in the wrong place is told where it goes.
    for (std::string& name : gateway_member_names(SettingsPlace::OneDevice)) {
        known.push_back(std::move(name));
    }
    for (const std::string& name : entry.getMemberNames()) {
        bool found = false;
        for (const std::string& k : known) {
            found = found || k == name;
        }
        if (!found) {
            error = "unknown member \"" + name + "\"" + kv830cli::did_you_mean(name, known);
            return false;
        }
    }
    return true;
}

bool read_data_id(const Json::Value& entry, unsigned& out, std::string& error) {
    if (!entry.isMember(kDataIdMember)) {
        error = "needs a \"data_id\"";
        return false;
    }
    const Json::Value& v = entry[kDataIdMember];
    if (!v.isIntegral() || (v.isInt64() && v.asInt64() < 0) || v.asLargestUInt() > kMaxDataId) {
        error = "\"data_id\" must be an integer from 0 to " + std::to_string(kMaxDataId);
        return false;
    }
    out = static_cast<unsigned>(v.asLargestUInt());
    return true;
}

bool read_entry(const Json::Value& entry, DeviceOptions& out, std::string& error) {
    if (!entry.isObject()) {
        error = "must be an object";
        return false;
    }
    Json::Value own = entry;
    if (!check_entry_members(entry, error) || !read_data_id(entry, out.data_id, error) ||
        !take_gateway_members(own, SettingsPlace::ListEntry, out.gateway, error)) {
        return false;
    }
    out.settings = Json::Value(Json::objectValue);
    for (const std::string& name : device_members()) {
        if (entry.isMember(name)) {
            out.settings[name] = entry[name];
        }
    }
    out.link = qdxhost::LinkSettings{};
    if (!qdxhost::read_link_settings(out.settings, out.link, error)) {
        return false;
    }
    if (!out.link.device.empty() && !out.link.tcp.empty()) {
        error = "modbus.device and modbus.tcp exclude each other";
        return false;
    }
    if (out.link.device.empty() && out.link.tcp.empty()) {
        error = "no link: give modbus.device or modbus.tcp";
        return false;
    }
    return qdxhost::check_link_settings(out.link, error);
}

// Devices on one line are polled in turn over one link: they must want the same line.
bool check_line_sharing(const std::vector<DeviceOptions>& devices, std::string& error) {
    std::vector<qdxhost::LinkSettings> links;
    for (const DeviceOptions& device : devices) {
        links.push_back(device.link);
    }
    const std::vector<std::size_t> first_on_line = lines_of(links);
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const qdxhost::LinkSettings& link = devices[i].link;
        if (first_on_line[i] == i) {
            continue;
        }
        const qdxhost::LinkSettings& first = devices[first_on_line[i]].link;
        const std::string pair = entry_name(static_cast<Json::ArrayIndex>(i)) + " and " +
                                 entry_name(static_cast<Json::ArrayIndex>(first_on_line[i]));
        const std::string line =
            link.is_tcp() ? "TCP peer " + link.tcp : "serial line " + link.device;
        if (link.slave == first.slave) {
            error = pair;
            error += link.is_tcp() ? " are both unit " : " are both slave ";
            error += std::to_string(link.slave);
            error += " on the ";
            error += line;
            return false;
        }
        std::string differs;
        std::string values;
        if (link.parity != first.parity) {
            differs = "parity";
            values = std::string(1, link.parity) + " and " + std::string(1, first.parity);
        }
        for (const LineField& f : kLineFields) {
            if (differs.empty() && link.*f.member != first.*f.member) {
                differs = f.name;
                values = std::to_string(link.*f.member) + " and " + std::to_string(first.*f.member);
            }
        }
        if (!differs.empty()) {
            error = pair;
            error += " share the ";
            error += line;
            error += " but differ in modbus.";
            error += differs;
            error += " (";
            error += values;
            error += ")";
            return false;
        }
    }
    return true;
}

}  // namespace

const std::vector<std::string>& device_members() {
    static const std::vector<std::string> members = {"modbus", "appSetting", "thresholdSetting"};
    return members;
}

bool read_device_list(const Json::Value& doc, std::vector<DeviceOptions>& out, std::string& error) {
    const Json::Value& list = doc["devices"];
    if (!list.isArray() || list.empty()) {
        error = "\"devices\" must be a non-empty array of objects, one per controller";
        return false;
    }
    std::vector<DeviceOptions> devices;
    std::map<unsigned, Json::ArrayIndex> seen;
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        DeviceOptions device;
        if (!read_entry(list[i], device, error)) {
            error.insert(0, entry_name(i) + ": ");
            return false;
        }
        const auto [found, added] = seen.emplace(device.data_id, i);
        if (!added) {
            error = entry_name(i) + ": data id " + std::to_string(device.data_id) +
                    " is already that of " + entry_name(found->second);
            return false;
        }
        devices.push_back(std::move(device));
    }
    if (!check_line_sharing(devices, error)) {
        return false;
    }
    out = std::move(devices);
    return true;
}

std::vector<std::string> line_names(const qdxhost::LinkSettings& link) {
    if (!link.is_tcp()) {
        // Links resolved as far as the path exists, "." and ".." taken out of the rest.
        std::error_code ignored;
        const std::filesystem::path path = std::filesystem::weakly_canonical(link.device, ignored);
        return {"rtu " + (path.empty() ? link.device : path.string())};
    }
    std::string host;
    int port = 0;
    std::string ignored;
    if (!kv830net::split_host_port(link.tcp, kv830net::HostPortForm{}, host, port, ignored)) {
        return {"tcp " + link.tcp};
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::vector<std::string> names;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0) {
        for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
            char text[NI_MAXHOST];
            if (::getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0,
                              NI_NUMERICHOST) == 0) {
                names.push_back("tcp " + kv830net::join_host_port(text, port));
            }
        }
        ::freeaddrinfo(found);
    }
    // A name that does not resolve now is compared as written; the link says why later.
    if (names.empty()) {
        names.push_back("tcp " + kv830net::join_host_port(host, port));
    }
    return names;
}

std::vector<std::size_t> lines_of(const std::vector<qdxhost::LinkSettings>& links) {
    std::vector<std::vector<std::string>> names;
    names.reserve(links.size());
    for (const qdxhost::LinkSettings& link : links) {
        names.push_back(line_names(link));
    }
    std::vector<std::size_t> first(links.size());
    for (std::size_t i = 0; i < links.size(); ++i) {
        first[i] = i;
        for (std::size_t j = 0; j < i && first[i] == i; ++j) {
            for (const std::string& name : names[i]) {
                if (first[j] == j &&
                    std::find(names[j].begin(), names[j].end(), name) != names[j].end()) {
                    first[i] = j;
                    break;
                }
            }
        }
    }
    return first;
}

bool has_data_id_field(const std::string& pattern) {
    return pattern.find(kDataIdField) != std::string::npos;
}

std::string expand_data_id(const std::string& pattern, unsigned data_id) {
    const std::string field = kDataIdField;
    const std::string id = std::to_string(data_id);
    std::string out;
    std::size_t from = 0;
    for (std::size_t at = pattern.find(field); at != std::string::npos;
         at = pattern.find(field, from)) {
        out.append(pattern, from, at - from);
        out += id;
        from = at + field.size();
    }
    out.append(pattern, from, std::string::npos);
    return out;
}

}  // namespace kv830host
