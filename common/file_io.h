// Writing files so that a reader or a power cut never sees half of one.
#pragma once

#include <string>

namespace kv830io {

// Writes all of `data`, across short writes and interruptions. On failure errno tells why.
bool write_all(int fd, const char* data, std::size_t size);
inline bool write_all(int fd, const std::string& data) {
    return write_all(fd, data.data(), data.size());
}

// Replaces `path` whole: writes a temporary file beside it, syncs it, renames it over the
// old one and syncs the folder, so that after a crash the file holds the old or the new
// text. The temporary file is removed when anything fails; `error` then names the file
// and the system's reason.
bool write_file_atomically(const std::string& path, const std::string& data, std::string& error);

// Whether a file could be created in the folder that would hold `path` (checked at start,
// so that a missing or read-only folder is reported before any work is done).
bool check_folder_writable(const std::string& path, std::string& error);

}  // namespace kv830io
