#include "secret_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace kv830host {

bool read_secret_file(const std::string& option, const std::string& path, std::size_t max_bytes,
                      std::string& secret, std::string& error) {
    const std::string named = option + " " + path + ": ";
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        error = named + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        error = named + "not a regular file";
        return false;
    }
    if ((info.st_mode & (S_IROTH | S_IWOTH)) != 0) {
        error = named + "readable or writable by everyone; chmod o-rw (600 or 640)";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = named + "cannot be read: " + std::strerror(errno);
        return false;
    }
    std::string text;
    char buffer[512];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<std::size_t>(in.gcount()));
        // Room for the line end, which is not counted.
        if (text.size() > max_bytes + 2) {
            error = named + "longer than " + std::to_string(max_bytes) + " bytes";
            return false;
        }
    }
    if (in.bad()) {
        error = named + "cannot be read";
        return false;
    }
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
        if (!text.empty() && text.back() == '\r') {
            text.pop_back();
        }
    }
    if (text.empty()) {
        error = named + "empty";
        return false;
    }
    if (text.size() > max_bytes) {
        error = named + "longer than " + std::to_string(max_bytes) + " bytes";
        return false;
    }
    for (const char c : text) {
        if (c == '\0' || c == '\n' || c == '\r') {
            error = named + "must hold one line";
            return false;
        }
    }
    secret = text;
    return true;
}

}  // namespace kv830host
