// The page's built-in files: sent as built (gzip) to clients that take gzip and unpacked
// for each request of one that does not (a browser always takes gzip; keeping the page
// unpacked would hold 110 KiB for the rare script), each with an ETag so that a reload
// costs a 304.
#pragma once

#include <cstddef>
#include <map>
#include <string>

#include "http_server.h"

namespace kv830host {

struct PageAsset {
    std::string content_type;
    const unsigned char* gzip = nullptr;
    std::size_t gzip_size = 0;
    std::string etag;
};

using PageAssets = std::map<std::string, PageAsset>;  // by path; "/" is "/index.html"

// A broken entry (not gzip) is left out rather than served broken.
PageAssets make_page_assets(const HttpAsset* table, std::size_t count);

}  // namespace kv830host
