// The gateway's node id: one short name for this gateway, in MQTT client ids and Home
// Assistant unique ids, so that two gateways never announce one device between them.
#pragma once

#include <cstddef>
#include <string>

namespace kv830host {

// Long enough for a readable name, short enough for a client id with a prefix.
constexpr std::size_t kMaxNodeIdLength = 32;
constexpr const char* kMachineIdFile = "/etc/machine-id";
// Kept beside the history file when the machine has no id of its own.
constexpr const char* kNodeIdFileName = "kv830-node-id";

// Letters, digits, '_' and '-', 1 to kMaxNodeIdLength of them: what an MQTT client id, a
// Home Assistant unique id and a discovery topic all take.
bool check_node_id(const std::string& id, std::string& error);

// Twelve hex digits derived from a machine id (32 hex digits, as /etc/machine-id holds
// it), or "" for text that is none. Derived rather than the id itself: the machine id is
// meant to stay on the machine.
std::string node_id_from_machine_id(const std::string& machine_id_text);

// The file of kNodeIdFileName in the folder of `history_file`.
std::string node_id_file_beside(const std::string& history_file);

// The node id to use: `given` when not empty; else derived from `machine_id_file`; else
// the one kept in `id_file`, which a random id is written to when it does not exist yet.
// False with `error` when the kept file cannot be read or written, or holds no node id.
bool resolve_node_id(const std::string& given, const std::string& machine_id_file,
                     const std::string& id_file, std::string& out, std::string& error);

}  // namespace kv830host
