// Stored rounds read back as the device names them: each record is loaded into a device
// of the plug-in whose host publishes and stores nothing, and the device's own snapshot
// document is read. A device rebuilds its document only when its round time has changed,
// and a cache load stamps the wall clock's second: the host gives every loaded record a
// round time of its own, so that one device serves thousands of records a second.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "plugin_loader.h"

namespace kv830host {

// The record type under which the device publishes and stores its rounds.
constexpr int kDeviceRecordType = 5156;

// The member of the document that carries the device's round time. A record loaded from
// the history is stamped with the time it was loaded, so readers of stored rounds show
// the row's own time instead.
constexpr const char* kDocumentTimeKey = "更新时间";

class HistoryDecoder {
  public:
    HistoryDecoder() = default;
    ~HistoryDecoder();
    HistoryDecoder(const HistoryDecoder&) = delete;
    HistoryDecoder& operator=(const HistoryDecoder&) = delete;

    // Loads the plug-in (empty: kv830.so beside the program).
    bool load(const std::string& plugin_path, std::string& error);

    // The document of one record; valid until the next call. nullptr when the device
    // refuses the record (another size) or the document, with `error` saying so.
    const Json::Value* decode(unsigned data_id, const std::vector<unsigned char>& record,
                              std::string& error);

    // The device's snapshot text (request 801) of one record, with the round's own time
    // (`unix_ms`) as its update time rather than the time it was loaded.
    bool snapshot_text(unsigned data_id, const std::vector<unsigned char>& record,
                       std::int64_t unix_ms, std::string& text, std::string& error);

  private:
    Json::Value* load_record(unsigned data_id, const std::vector<unsigned char>& record,
                             std::string& error);

    PluginLoader loader_;
    std::unique_ptr<QDXSPDevice> device_;
    unsigned device_data_id_ = 0;
    long long rounds_ = 0;
    bool loaded_ = false;
};

}  // namespace kv830host
