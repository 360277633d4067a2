#include "node_id.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <random>

#include "file_io.h"

namespace kv830host {

namespace {

constexpr std::size_t kMachineIdDigits = 32;
constexpr int kNodeIdDigits = 12;  // 48 bits: no two gateways of a site share one
constexpr std::uint64_t kFnvBasis = 14695981039346656037ULL;
constexpr std::uint64_t kFnvPrime = 1099511628211ULL;
// Mixed in first, so that the node id is this program's alone, not the machine id's hash
// that any other program could compute alike.
constexpr const char* kHashContext = "kv830-host node id\n";

std::string hex_digits(std::uint64_t value, int digits) {
    static const char kHex[] = "0123456789abcdef";
    std::string out(static_cast<std::size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i) {
        out[static_cast<std::size_t>(i)] = kHex[value & 0xFU];
        value >>= 4;
    }
    return out;
}

// The file's first line, without its newline; false when it cannot be read.
bool read_first_line(const std::string& path, std::string& line) {
    std::ifstream in(path);
    if (!in) {
        return false;
    }
    std::getline(in, line);
    return !in.bad();
}

}  // namespace

bool check_node_id(const std::string& id, std::string& error) {
    bool ok = !id.empty() && id.size() <= kMaxNodeIdLength;
    for (const char c : id) {
        ok = ok && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-');
    }
    if (!ok) {
        error = "a node id is 1 to " + std::to_string(kMaxNodeIdLength) +
                " letters, digits, '_' or '-', not \"" + id + "\"";
    }
    return ok;
}

std::string node_id_from_machine_id(const std::string& machine_id_text) {
    std::string id = machine_id_text;
    while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) {
        id.pop_back();
    }
    if (id.size() != kMachineIdDigits ||
        id.find_first_not_of("0123456789abcdef") != std::string::npos) {
        return "";
    }
    std::uint64_t hash = kFnvBasis;
    for (const char c : std::string(kHashContext) + id) {
        hash = (hash ^ static_cast<unsigned char>(c)) * kFnvPrime;
    }
    return hex_digits(hash, kNodeIdDigits);
}

std::string node_id_file_beside(const std::string& history_file) {
    const auto slash = history_file.rfind('/');
    if (slash == std::string::npos) {
        return kNodeIdFileName;
    }
    return history_file.substr(0, slash + 1) + kNodeIdFileName;
}

bool resolve_node_id(const std::string& given, const std::string& machine_id_file,
                     const std::string& id_file, std::string& out, std::string& error) {
    if (!given.empty()) {
        out = given;
        return true;
    }
    std::string line;
    if (read_first_line(machine_id_file, line)) {
        const std::string derived = node_id_from_machine_id(line);
        if (!derived.empty()) {
            out = derived;
            return true;
        }
    }
    if (read_first_line(id_file, line)) {
        std::string why;
        if (!check_node_id(line, why)) {
            error = "node id file " + id_file + ": " + why + "; remove it or give --node-id";
            return false;
        }
        out = line;
        return true;
    }
    struct stat st {};
    if (::stat(id_file.c_str(), &st) == 0 || errno != ENOENT) {
        error = "cannot read node id file " + id_file;
        return false;
    }
    std::random_device entropy;
    const std::uint64_t random = (static_cast<std::uint64_t>(entropy()) << 32) ^ entropy();
    const std::string made = hex_digits(random, kNodeIdDigits);
    if (!kv830io::write_file_atomically(id_file, made + "\n", error)) {
        return false;
    }
    out = made;
    return true;
}

}  // namespace kv830host
