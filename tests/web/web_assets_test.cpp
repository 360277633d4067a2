// The page as compiled into the program: each file unpacks to its source, the whole stays
// small, and the signal metadata covers the snapshot's members once each.
#include "web_assets.h"

#include <gtest/gtest.h>
#include <json/value.h>

#include <cstdio>
#include <set>
#include <string>

#include "e2e_support.h"
#include "kv830_signals.h"

namespace {

constexpr std::size_t kPageLimitBytes = std::size_t{100} * 1024;  // the whole page, gzipped

std::string gunzip(const e2e::TempDir& dir, const kv830host::WebAsset& asset) {
    const std::string gz = dir.file("asset.gz");
    e2e::write_file(gz, std::string(reinterpret_cast<const char*>(asset.gzip), asset.gzip_size));
    const std::string out = dir.file("asset");
    const std::string cmd = "gzip -dc '" + gz + "' > '" + out + "'";
    // The test's own command line on files in its temporary folder.
    if (std::system(cmd.c_str()) != 0) {  // NOLINT(cert-env33-c)
        return "(gzip refused it)";
    }
    return e2e::read_file(out);
}

TEST(WebAssets, EachFileUnpacksToItsSource) {
    struct Row {
        const char* path;
        const char* source;
        const char* type;
    };
    const Row rows[] = {
        {"/",             WEB_SOURCE_DIR "/index.html",  "text/html; charset=utf-8"       },
        {"/index.html",   WEB_SOURCE_DIR "/index.html",  "text/html; charset=utf-8"       },
        {"/app.js",       WEB_SOURCE_DIR "/app.js",      "text/javascript; charset=utf-8" },
        {"/app.css",      WEB_SOURCE_DIR "/app.css",     "text/css; charset=utf-8"        },
        {"/signals.json", WEB_BUILD_DIR "/signals.json", "application/json; charset=utf-8"},
    };
    e2e::TempDir dir;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        const kv830host::WebAsset* asset = kv830host::find_web_asset(row.path);
        ASSERT_NE(asset, nullptr);
        EXPECT_STREQ(asset->content_type, row.type);
        const std::string source = e2e::read_file(row.source);
        ASSERT_FALSE(source.empty());
        EXPECT_EQ(asset->size, source.size());
        EXPECT_EQ(gunzip(dir, *asset), source);
    }
}

TEST(WebAssets, UnknownPathsHaveNone) {
    for (const char* path : {"", "/nope", "/app.js/", "/../app.js", "/APP.JS", "app.js",
                             "/signals.json?x=1", "/api/snapshot"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(kv830host::find_web_asset(path), nullptr);
    }
}

TEST(WebAssets, TheWholePageStaysSmall) {
    std::size_t total = 0;
    for (std::size_t i = 0; i < kv830host::kWebAssetCount; ++i) {
        total += kv830host::kWebAssets[i].gzip_size;
    }
    EXPECT_LE(total, kPageLimitBytes);
    std::printf("page weight: %zu bytes gzipped in %zu files\n", total, kv830host::kWebAssetCount);
}

TEST(WebAssets, SignalMetadataNamesEverySnapshotMemberOnce) {
    Json::Value meta;
    ASSERT_TRUE(e2e::parse_json(e2e::read_file(WEB_BUILD_DIR "/signals.json"), meta));
    std::set<std::string> keys;
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        keys.insert(kv830::kSignals[i].key);
    }
    std::set<std::string> seen;
    for (const Json::Value& s : meta["signals"]) {
        const std::string name = s["name"].asString();
        SCOPED_TRACE(name);
        EXPECT_TRUE(seen.insert(name).second) << "named twice";
        EXPECT_EQ(keys.count(name), 1u);
        const std::string kind = s["kind"].asString();
        EXPECT_TRUE(kind == "bit" || kind == "value" || kind == "enum" || kind == "input");
        EXPECT_TRUE(!s["setting"].asBool() || kind == "value") << "only values are settings";
        EXPECT_EQ(s["texts"].size(), kind == "enum" ? 2u : 0u);
    }
    EXPECT_EQ(seen, keys);
    EXPECT_EQ(meta["update_time"].asString(), kv830::kUpdateTimeKey);
}

}  // namespace
