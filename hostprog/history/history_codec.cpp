#include "history_codec.h"

#include <cstring>

namespace kv830host {

namespace {

bool get_varint(const unsigned char*& p, const unsigned char* end, std::size_t& value) {
    value = 0;
    for (unsigned shift = 0; shift < 35; shift += 7) {
        if (p == end) {
            return false;
        }
        const unsigned char byte = *p++;
        value |= static_cast<std::size_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool apply_patch(const unsigned char* base, std::size_t base_size, const unsigned char* patch,
                 std::size_t patch_size, std::vector<unsigned char>& out) {
    const unsigned char* p = patch;
    const unsigned char* const end = patch + patch_size;
    std::size_t size = 0;
    if (!get_varint(p, end, size) || size > kMaxPatchedRecord) {
        return false;
    }
    if (base != nullptr && base_size != size) {
        return false;
    }
    out.resize(size);
    if (base != nullptr) {
        if (out.data() != base) {
            std::memmove(out.data(), base, size);
        }
    } else {
        std::memset(out.data(), 0, size);
    }
    std::size_t pos = 0;
    while (p != end) {
        std::size_t skip = 0;
        std::size_t length = 0;
        if (!get_varint(p, end, skip) || !get_varint(p, end, length) || skip > size - pos ||
            length > size - pos - skip || length > static_cast<std::size_t>(end - p)) {
            return false;
        }
        pos += skip;
        std::memcpy(out.data() + pos, p, length);
        p += length;
        pos += length;
    }
    return true;
}

}  // namespace kv830host
