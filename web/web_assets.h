// The page's files, gzipped at build time and compiled into the program, so that the
// page needs nothing from outside it.
#pragma once

#include <cstddef>
#include <string_view>

namespace kv830host {

struct WebAsset {
    const char* path;           // "/", "/app.js", ...
    const char* content_type;   // with its charset where it is text
    const unsigned char* gzip;  // the file gzipped (gzip -9n): send with Content-Encoding: gzip
    std::size_t gzip_size;
    std::size_t size;  // the file's size before compression
};

extern const WebAsset kWebAssets[];
extern const std::size_t kWebAssetCount;

// The asset served at `path` (the query already cut off), or nullptr; "/" is
// "/index.html".
const WebAsset* find_web_asset(std::string_view path);

}  // namespace kv830host
