// Pieces the HTTP tests share: a server on a free loopback port fed through a real
// PlantState, a raw socket client that shows the bytes on the wire, and documents shaped
// like the controller's snapshot.
#pragma once

#include <arpa/inet.h>
#include <json/value.h>
#include <json/writer.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "http_reply.h"
#include "http_server.h"
#include "kv830_signals.h"
#include "plant_state.h"

namespace kv830test {

inline std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A document with every signal of the table, each given a value derived from `seed`, as
// the device writes it: bits as ints, values and inputs as reals, enumerations as text.
inline Json::Value make_snapshot_doc(unsigned seed) {
    Json::Value doc(Json::objectValue);
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        const kv830::SignalRow& row = kv830::kSignals[i];
        const unsigned v = static_cast<unsigned>(i) * 37U + seed;
        switch (row.kind) {
            case kv830::SignalKind::Bit:
                doc[row.key] = static_cast<int>(v % 2);
                break;
            case kv830::SignalKind::Value:
                doc[row.key] = static_cast<double>(v % 65536);
                break;
            case kv830::SignalKind::Enum:
                doc[row.key] =
                    v % 3 == 0 ? row.text0 : (v % 3 == 1 ? row.text1 : kv830::kInvalidText);
                break;
            case kv830::SignalKind::Input:
                doc[row.key] = static_cast<double>(v % 2);
                break;
        }
    }
    doc[kv830::kUpdateTimeKey] = "2026-12-8 7:0:0";
    return doc;
}

inline std::string compact(const Json::Value& doc) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, doc);
}

inline kv830host::Round completed_report(unsigned data_id, unsigned long long number,
                                         const std::string& snapshot,
                                         std::int64_t end_ms = now_ms()) {
    kv830host::Round r;
    r.data_id = data_id;
    r.number = number;
    r.completed = true;
    r.duration_s = 0.9;
    r.counters[kv830host::RoundCounter::Answered] = 17;
    r.end_unix_ms = end_ms;
    r.last_completed_unix_ms = end_ms;
    r.snapshot = snapshot;
    return r;
}

inline std::string gzip_bytes(const std::string& data) {
    z_stream stream{};
    deflateInit2(&stream, 9, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, data.size()) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

// The gzip body of an answer, unpacked; empty when it is not gzip.
inline std::string gunzip_text(const std::string& data) {
    std::string out;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    return kv830host::gunzip(bytes, data.size(), out) ? out : std::string();
}

// A query parameter's value as a browser sends it.
inline std::string url_encode(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) != 0 || c == '-' || c == '_' || c == '.' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
    }
    return out;
}

// A connected loopback socket, closed on destruction; `from` picks the client's address
// (127.0.0.2 and up are the same machine, each a client of its own to the server).
class RawSocket {
  public:
    explicit RawSocket(int port, const char* from = nullptr) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (from != nullptr) {
            sockaddr_in source{};
            source.sin_family = AF_INET;
            ::inet_pton(AF_INET, from, &source.sin_addr);
            if (::bind(fd_, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
                return;
            }
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~RawSocket() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;

    bool connected() const { return connected_; }
    bool send_all(const std::string& data) {
        std::size_t sent = 0;
        while (sent < data.size()) {
            const ssize_t n = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }
    // What arrives within `timeout` (at least one read's worth when anything does).
    std::string read_some(std::chrono::milliseconds timeout) {
        char buffer[65536];
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) {
            return {};
        }
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }
    // Reads until the peer closes or `timeout` passes without data.
    std::string read_until_closed(std::chrono::milliseconds timeout) {
        std::string out;
        char buffer[65536];
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) {
                break;
            }
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            out.append(buffer, static_cast<std::size_t>(n));
        }
        return out;
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
};

struct RawResponse {
    int status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

// Splits a Connection: close response (no chunked bodies).
inline RawResponse parse_raw(const std::string& wire) {
    RawResponse r;
    const std::size_t end = wire.find("\r\n\r\n");
    if (wire.compare(0, 9, "HTTP/1.1 ") != 0 || end == std::string::npos) {
        return r;
    }
    r.status = std::stoi(wire.substr(9, 3));
    std::size_t pos = wire.find("\r\n") + 2;
    while (pos < end) {
        const std::size_t eol = wire.find("\r\n", pos);
        const std::string line = wire.substr(pos, eol - pos);
        const std::size_t colon = line.find(':');
        std::string name = line.substr(0, colon);
        for (char& c : name) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        r.headers[name] = value;
        pos = eol + 2;
    }
    r.body = wire.substr(end + 4);
    return r;
}

inline RawResponse raw_request(int port, const std::string& request,
                               std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    RawSocket socket(port);
    if (!socket.connected() || !socket.send_all(request)) {
        return {};
    }
    return parse_raw(socket.read_until_closed(timeout));
}

inline RawResponse raw_get(int port, const std::string& target,
                           const std::string& extra_headers = "") {
    return raw_request(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra_headers +
                                 "Connection: close\r\n\r\n");
}

}  // namespace kv830test
