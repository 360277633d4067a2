#include "file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kv830io {

namespace {

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool write_file_atomically(const std::string& path, const std::string& data, std::string& error) {
    const std::string tmp = path + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot write " + tmp + ": " + std::strerror(errno);
        return false;
    }
    const bool ok = write_all(fd, data) && ::fsync(fd) == 0;
    const int saved = errno;
    ::close(fd);
    if (!ok) {
        error = "cannot write " + tmp + ": " + std::strerror(saved);
        ::unlink(tmp.c_str());
        return false;
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        error = "cannot replace " + path + ": " + std::strerror(errno);
        ::unlink(tmp.c_str());
        return false;
    }
    // The rename itself lives in the folder; without this a power cut may undo it.
    const int dir = ::open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

bool check_folder_writable(const std::string& path, std::string& error) {
    // A name ending in '/' or naming a folder is no file to write: say so rather than what
    // the system says of the folder it would sit in.
    struct stat st {};
    if (!path.empty() &&
        (path.back() == '/' || (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))) {
        error = "cannot write " + path + ": it names a folder, not a file";
        return false;
    }
    const std::string folder = folder_of(path);
    if (::stat(folder.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
        error = "cannot write in " + folder + ": " + std::strerror(ENOTDIR);
        return false;
    }
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        error = "cannot write in " + folder + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace kv830io
