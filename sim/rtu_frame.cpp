#include "rtu_frame.h"

#include <algorithm>

#include "modbus_crc.h"
#include "serial_params.h"

namespace plantsim {

std::uint16_t crc16(const std::uint8_t* data, std::size_t size) {
    return kv830cli::crc16(data, size);
}

bool crc_ok(const std::uint8_t* frame, std::size_t size) {
    return kv830cli::crc_ok(frame, size);
}

std::vector<std::uint8_t> rtu_frame(std::uint8_t address, const std::vector<std::uint8_t>& pdu,
                                    bool corrupt_crc) {
    // Sized once and filled by index: growing it by push_back trips a false
    // free-nonheap-object report of GCC 12 at -O3.
    const std::size_t body = pdu.size() + 1;
    std::vector<std::uint8_t> out(body + 2);
    out[0] = address;
    std::copy(pdu.begin(), pdu.end(), out.begin() + 1);
    std::uint16_t crc = crc16(out.data(), body);
    if (corrupt_crc) {
        crc = static_cast<std::uint16_t>(~crc);
    }
    out[body] = static_cast<std::uint8_t>(crc & 0xFF);
    out[body + 1] = static_cast<std::uint8_t>(crc >> 8);
    return out;
}

int rtu_request_length(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    switch (data[1]) {
        case 0x01:
        case 0x02:
        case 0x03:
        case 0x04:
        case 0x05:
        case 0x06:
            return 8;
        case 0x0F:
        case 0x10:
            return size < 7 ? 0 : 9 + data[6];
        default:
            return -1;
    }
}

double rtu_silence_seconds(int baud, int bits_per_char) {
    return static_cast<double>(kv830cli::rtu_silence_ns(baud, bits_per_char)) / 1e9;
}

void RtuRequestFramer::feed(const std::uint8_t* data, std::size_t size, double now) {
    if (!buf_.empty() && now - last_ > silence_) {
        // A silence ended the held bytes before these came; whatever made a frame has
        // been taken by next() already, so the rest is noise.
        drop_all();
    }
    buf_.insert(buf_.end(), data, data + size);
    last_ = now;
}

bool RtuRequestFramer::next(std::vector<std::uint8_t>& frame, double now) {
    frame.clear();
    if (buf_.empty()) {
        return false;
    }
    const int need = rtu_request_length(buf_.data(), buf_.size());
    if (need > 0 && buf_.size() >= static_cast<std::size_t>(need) &&
        crc_ok(buf_.data(), static_cast<std::size_t>(need))) {
        frame.assign(buf_.begin(), buf_.begin() + need);
        buf_.erase(buf_.begin(), buf_.begin() + need);
        return true;
    }
    if (now - last_ <= silence_) {
        return false;  // more may come
    }
    // Silence: a frame of unknown function ends here, anything else is noise.
    if (crc_ok(buf_.data(), buf_.size())) {
        frame.swap(buf_);
        buf_.clear();
        return true;
    }
    drop_all();
    return false;
}

double RtuRequestFramer::deadline() const {
    return buf_.empty() ? -1.0 : last_ + silence_;
}

void RtuRequestFramer::drop_all() {
    dropped_ += buf_.size();
    buf_.clear();
}

}  // namespace plantsim
