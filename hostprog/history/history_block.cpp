#include "history_block.h"

namespace kv830host {

namespace {

void put_varint(std::vector<unsigned char>& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<unsigned char>((value & 0x7F) | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<unsigned char>(value));
}

bool get_varint(const unsigned char*& p, const unsigned char* end, std::uint64_t& value) {
    value = 0;
    for (unsigned shift = 0; shift < 64; shift += 7) {
        if (p == end) {
            return false;
        }
        const unsigned char byte = *p++;
        value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) {
            return true;
        }
    }
    return false;
}

// Steps either way as small unsigned numbers: 0, -1, 1, -2, 2 ... become 0, 1, 2, 3, 4.
std::uint64_t zigzag64(std::uint64_t step) {
    return (step << 1) ^ (0 - (step >> 63));
}
std::uint64_t unzigzag64(std::uint64_t z) {
    return (z >> 1) ^ (0 - (z & 1));
}
// Unsigned throughout: a shift of a promoted int is a sign conversion to the sanitizers.
std::uint16_t zigzag16(std::uint16_t step) {
    const unsigned s = step;
    return static_cast<std::uint16_t>((s << 1U) ^ (0U - (s >> 15U)));
}
std::uint16_t unzigzag16(std::uint16_t z) {
    const unsigned v = z;
    return static_cast<std::uint16_t>((v >> 1U) ^ (0U - (v & 1U)));
}

std::uint16_t word_of(const unsigned char* record, std::size_t size, std::size_t word) {
    const std::size_t at = 2 * word;
    return static_cast<std::uint16_t>(record[at] | (at + 1 < size ? record[at + 1] << 8 : 0));
}

}  // namespace

void encode_block(const std::int64_t* times, const unsigned char* const* records, std::size_t count,
                  std::size_t size, Compressor& compressor, std::vector<unsigned char>& out) {
    std::vector<unsigned char> raw;
    const std::size_t words = (size + 1) / 2;
    raw.reserve(16 + 3 * count + 2 * words * count);
    put_varint(raw, count);
    put_varint(raw, size);
    for (std::size_t i = 1; i < count; ++i) {
        put_varint(raw, zigzag64(static_cast<std::uint64_t>(times[i]) -
                                 static_cast<std::uint64_t>(times[i - 1])));
    }
    const std::size_t planes = raw.size();
    raw.resize(planes + 2 * words * count);
    for (std::size_t w = 0; w < words; ++w) {
        unsigned char* low = raw.data() + planes + 2 * w * count;
        unsigned char* high = low + count;
        std::uint16_t previous = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint16_t value = word_of(records[i], size, w);
            const std::uint16_t z = zigzag16(static_cast<std::uint16_t>(value - previous));
            previous = value;
            low[i] = static_cast<unsigned char>(z & 0xFF);
            high[i] = static_cast<unsigned char>(z >> 8);
        }
    }
    compressor.compress(raw.data(), raw.size(), out);
}

bool BlockView::open(const unsigned char* blob, std::size_t size, std::int64_t first_ms,
                     Compressor& compressor) {
    times_.clear();
    record_size_ = 0;
    if (!compressor.decompress(blob, size, kMaxBlockBytes, raw_)) {
        return false;
    }
    const unsigned char* p = raw_.data();
    const unsigned char* const end = p + raw_.size();
    std::uint64_t count = 0;
    std::uint64_t size_field = 0;
    if (!get_varint(p, end, count) || !get_varint(p, end, size_field) || count == 0 ||
        size_field == 0 || size_field > kMaxRecordBytes || count > raw_.size()) {
        return false;
    }
    times_.resize(static_cast<std::size_t>(count));
    auto t = static_cast<std::uint64_t>(first_ms);
    times_[0] = first_ms;
    for (std::size_t i = 1; i < times_.size(); ++i) {
        std::uint64_t step = 0;
        if (!get_varint(p, end, step)) {
            times_.clear();
            return false;
        }
        t += unzigzag64(step);
        times_[i] = static_cast<std::int64_t>(t);
    }
    const std::size_t word_count = (static_cast<std::size_t>(size_field) + 1) / 2;
    if (static_cast<std::size_t>(end - p) / 2 / word_count != times_.size() ||
        static_cast<std::size_t>(end - p) != 2 * word_count * times_.size()) {
        times_.clear();
        return false;
    }
    record_size_ = static_cast<std::size_t>(size_field);
    planes_ = static_cast<std::size_t>(p - raw_.data());
    return true;
}

void BlockView::words(std::size_t word, std::vector<std::uint16_t>& out) const {
    const std::size_t n = times_.size();
    out.resize(n);
    const unsigned char* low = raw_.data() + planes_ + 2 * word * n;
    const unsigned char* high = low + n;
    std::uint16_t value = 0;
    for (std::size_t i = 0; i < n; ++i) {
        value = static_cast<std::uint16_t>(
            value + unzigzag16(static_cast<std::uint16_t>(low[i] | high[i] << 8)));
        out[i] = value;
    }
}

void BlockView::records(std::vector<unsigned char>& out) const {
    const std::size_t n = times_.size();
    out.resize(n * record_size_);
    std::vector<std::uint16_t> column;
    for (std::size_t w = 0; 2 * w < record_size_; ++w) {
        words(w, column);
        for (std::size_t i = 0; i < n; ++i) {
            unsigned char* r = out.data() + i * record_size_;
            r[2 * w] = static_cast<unsigned char>(column[i] & 0xFF);
            if (2 * w + 1 < record_size_) {
                r[2 * w + 1] = static_cast<unsigned char>(column[i] >> 8);
            }
        }
    }
}

}  // namespace kv830host
