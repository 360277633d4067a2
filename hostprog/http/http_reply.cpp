#include "http_reply.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "metrics_text.h"

namespace kv830host {

Reply refusal(unsigned status, const std::string& reason) {
    Reply r;
    r.status = status;
    r.set("Cache-Control", "no-store");
    r.body = reason + "\n";
    return r;
}

Reply json_reply(unsigned status, std::string body) {
    Reply r;
    r.status = status;
    r.content_type = kJson;
    r.set("Cache-Control", "no-store");
    r.body = std::move(body);
    return r;
}

Reply write_refusal(unsigned status, const std::string& reason) {
    return json_reply(status, "{\"outcome\":\"refused\",\"reason\":" + json_string(reason) + "}\n");
}

std::size_t finish_reply(Reply& reply, bool client_takes_gzip, bool head) {
    std::string packed;
    if (reply.compressible && client_takes_gzip && reply.body.size() >= kGzipMinBytes &&
        gzip_text(reply.body, packed)) {
        reply.body = std::move(packed);
        reply.set("Content-Encoding", "gzip");
    }
    if (reply.compressible) {
        reply.set("Vary", "Accept-Encoding");
    }
    const std::size_t length = reply.body.size();
    if (head) {
        reply.body.clear();
    }
    return length;
}

bool accepts_gzip(const std::string& header) {
    std::size_t start = 0;
    while (start <= header.size()) {
        std::size_t end = header.find(',', start);
        if (end == std::string::npos) {
            end = header.size();
        }
        const std::string item = header.substr(start, end - start);
        const std::size_t semi = item.find(';');
        std::string name = item.substr(0, semi);
        name.erase(0, name.find_first_not_of(" \t"));
        name.erase(name.find_last_not_of(" \t") + 1);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        bool refused = false;
        if (semi != std::string::npos) {
            std::string params = item.substr(semi + 1);
            params.erase(std::remove(params.begin(), params.end(), ' '), params.end());
            refused =
                params == "q=0" || params == "q=0.0" || params == "q=0.00" || params == "q=0.000";
        }
        if ((name == "gzip" || name == "x-gzip" || name == "*") && !refused) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

bool gzip_text(const std::string& text, std::string& out) {
    z_stream stream{};
    // Level 6: most of level 9's gain on metrics text for a third of its time.
    if (deflateInit2(&stream, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        return false;
    }
    out.resize(deflateBound(&stream, static_cast<uLong>(text.size())) + 32);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    const int status = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return status == Z_STREAM_END;
}

namespace {

// Hands each unpacked piece to `take`; false when `data` is not whole gzip data.
template <typename Take>
bool inflate_gzip(const unsigned char* data, std::size_t size, Take take) {
    z_stream stream{};
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) {
        return false;
    }
    stream.next_in = const_cast<unsigned char*>(data);
    stream.avail_in = static_cast<uInt>(size);
    char buffer[16384];
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = reinterpret_cast<unsigned char*>(buffer);
        stream.avail_out = sizeof buffer;
        status = inflate(&stream, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END) {
            inflateEnd(&stream);
            return false;
        }
        take(buffer, sizeof buffer - stream.avail_out);
    }
    inflateEnd(&stream);
    return true;
}

}  // namespace

bool gunzip(const unsigned char* data, std::size_t size, std::string& out) {
    return inflate_gzip(data, size,
                        [&out](const char* piece, std::size_t n) { out.append(piece, n); });
}

bool is_gzip(const unsigned char* data, std::size_t size) {
    return inflate_gzip(data, size, [](const char*, std::size_t) {});
}

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"') {
            out += "\\\"";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (u < 0x20) {
            char esc[8];
            (void)std::snprintf(esc, sizeof esc, "\\u%04x", u);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string json_number(double value) {
    if (std::isnan(value) || std::isinf(value)) {
        return "null";
    }
    return format_metric_value(value);
}

}  // namespace kv830host
