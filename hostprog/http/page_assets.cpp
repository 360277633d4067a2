#include "page_assets.h"

#include <cinttypes>
#include <cstdio>

#include "http_core.h"

namespace kv830host {

namespace {

std::string etag_of(const unsigned char* data, std::size_t size) {
    std::uint64_t hash = 1469598103934665603ULL;
    for (std::size_t i = 0; i < size; ++i) {
        hash = (hash ^ data[i]) * 1099511628211ULL;
    }
    char text[24];
    (void)std::snprintf(text, sizeof text, "\"%016" PRIx64 "\"", hash);
    return text;
}

}  // namespace

PageAssets make_page_assets(const HttpAsset* table, std::size_t count) {
    PageAssets assets;
    for (std::size_t i = 0; i < count; ++i) {
        PageAsset asset;
        asset.content_type = table[i].content_type;
        asset.gzip = table[i].gzip;
        asset.gzip_size = table[i].gzip_size;
        asset.etag = etag_of(table[i].gzip, table[i].gzip_size);
        if (is_gzip(table[i].gzip, table[i].gzip_size)) {
            assets[table[i].path] = std::move(asset);
        }
    }
    return assets;
}

void serve_asset(ServerCore& core, const ExchangePtr& ex) {
    const PageAsset& asset = core.assets.at(ex->path == "/" ? "/index.html" : ex->path);
    Reply r;
    r.content_type = asset.content_type;
    // Revalidated on every load, so a new build's page shows at once; unchanged files
    // cost a 304.
    r.set("Cache-Control", "no-cache");
    r.set("ETag", asset.etag);
    r.set("Vary", "Accept-Encoding");
    r.compressible = false;  // gzip already, or deliberately not
    if (ex->path == "/" || ex->path == "/index.html") {
        r.set("Content-Security-Policy",
              "default-src 'self'; img-src 'self' data:; style-src 'self' 'unsafe-inline'; "
              "frame-ancestors 'none'");
    }
    if (ex->header("If-None-Match") == asset.etag) {
        r.status = 304;
    } else if (ex->gzip_ok) {
        r.set("Content-Encoding", "gzip");
        r.body.assign(reinterpret_cast<const char*>(asset.gzip), asset.gzip_size);
    } else {
        // Checked whole at start.
        static_cast<void>(gunzip(asset.gzip, asset.gzip_size, r.body));
    }
    ex->answer(std::move(r));
}

}  // namespace kv830host
