#include "image_dump.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace plantsim {

std::string image_json(const PlantModel::Holding& holding, const PlantModel::Inputs& inputs) {
    std::string out = "{\"holding\":[";
    for (std::size_t i = 0; i < holding.size(); ++i) {
        if (i != 0)
            out += ',';
        out += std::to_string(holding[i]);
    }
    out += "],\"inputs\":[";
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (i != 0)
            out += ',';
        out += std::to_string(inputs[i]);
    }
    out += "]}\n";
    return out;
}

bool write_file_atomically(const std::string& path, const std::string& text) {
    const std::string tmp = path + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int saved = errno;
            ::close(fd);
            ::unlink(tmp.c_str());
            errno = saved;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 || std::rename(tmp.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        ::unlink(tmp.c_str());
        errno = saved;
        return false;
    }
    return true;
}

}  // namespace plantsim
