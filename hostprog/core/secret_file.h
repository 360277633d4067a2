// Files that hold a secret (a broker password, a bearer token): one line, kept from other
// users, read once at start so that a mistake is refused before any traffic.
#pragma once

#include <cstddef>
#include <string>

namespace kv830host {

// Reads the one line of `path` (its line end is not part of the secret) into `secret`.
// Refuses, naming `option` and the file: a file that is missing, not a regular file,
// readable or writable by everyone (group access is allowed, so that a service group can
// share it), longer than `max_bytes`, empty, or holding more than one line or a NUL.
bool read_secret_file(const std::string& option, const std::string& path, std::size_t max_bytes,
                      std::string& secret, std::string& error);

}  // namespace kv830host
