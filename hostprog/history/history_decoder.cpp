#include "history_decoder.h"

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <streambuf>

#include "kv830_protocol.h"
#include "qdx_host.h"

namespace kv830host {

namespace {

constexpr int kDocumentRequest = KV830_SNAPSHOT_VALUE;
constexpr int kSnapshotTextRequest = KV830_SNAPSHOT_TEXT;
// Room for the snapshot text at the first try (the plant model's is about 16 KB).
constexpr std::size_t kSnapshotTextMax = std::size_t{64} * 1024;

// The device writes its diagnostic lines to std::cout; while it decodes they go nowhere,
// so that they never mix with rows a caller may be printing there.
class NullBuffer : public std::streambuf {
  protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

class QuietCout {
  public:
    QuietCout() : saved_(std::cout.rdbuf(&null_)) {}
    ~QuietCout() { std::cout.rdbuf(saved_); }
    QuietCout(const QuietCout&) = delete;
    QuietCout& operator=(const QuietCout&) = delete;

  private:
    NullBuffer null_;
    std::streambuf* saved_;
};

// The device's own form of its update time: local time, no leading zeros.
std::string device_time_text(std::int64_t unix_ms) {
    const auto t = static_cast<std::time_t>(unix_ms >= 0 ? unix_ms / 1000 : (unix_ms - 999) / 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%d-%d-%d %d:%d:%d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

}  // namespace

HistoryDecoder::~HistoryDecoder() {
    QuietCout quiet;
    device_.reset();
}

bool HistoryDecoder::load(const std::string& plugin_path, std::string& error) {
    const std::string path = plugin_path.empty() ? default_plugin_path() : plugin_path;
    loaded_ = loader_.load(path, error);
    return loaded_;
}

const Json::Value* HistoryDecoder::decode(unsigned data_id,
                                          const std::vector<unsigned char>& record,
                                          std::string& error) {
    return load_record(data_id, record, error);
}

bool HistoryDecoder::snapshot_text(unsigned data_id, const std::vector<unsigned char>& record,
                                   std::int64_t unix_ms, std::string& text, std::string& error) {
    Json::Value* document = load_record(data_id, record, error);
    if (document == nullptr) {
        return false;
    }
    QuietCout quiet;
    // The device writes the text of its document as it stands, so the time set here is
    // the one the text carries.
    (*document)[kDocumentTimeKey] = device_time_text(unix_ms);
    text.resize(kSnapshotTextMax);
    int size = 0;
    int rc = device_->DeviceIoControl(kSnapshotTextRequest, nullptr, 0, text.data(),
                                      static_cast<int>(text.size()), size);
    if (rc != 0 && size > static_cast<int>(text.size())) {
        text.resize(static_cast<std::size_t>(size));
        rc = device_->DeviceIoControl(kSnapshotTextRequest, nullptr, 0, text.data(),
                                      static_cast<int>(text.size()), size);
    }
    if (rc != 0 || size < 0) {
        error = "the device gave no snapshot text";
        return false;
    }
    text.resize(static_cast<std::size_t>(size));
    return true;
}

Json::Value* HistoryDecoder::load_record(unsigned data_id, const std::vector<unsigned char>& record,
                                         std::string& error) {
    if (!loaded_) {
        error = "no plug-in loaded";
        return nullptr;
    }
    QuietCout quiet;
    if (device_ == nullptr || device_data_id_ != data_id) {
        device_.reset();
        device_.reset(loader_.create());
        device_->Init(std::weak_ptr<QDXController>(), data_id, Json::Value());
        device_data_id_ = data_id;
    }
    if (device_->LoadFromCache(record.data(), static_cast<int>(record.size())) != 1) {
        error = "the device refused a stored record of " + std::to_string(record.size()) + " bytes";
        return nullptr;
    }
    // A round time no earlier record had.
    ++rounds_;
    qdxhost::HostAccess::set_round_time(
        *device_, boost::posix_time::ptime(boost::gregorian::date(2000, 1, 1)) +
                      boost::posix_time::seconds(rounds_));
    Json::Value* document = nullptr;
    int size = 0;
    if (device_->DeviceIoControl(
            kDocumentRequest, nullptr, 0, &document,
            // The request hands back a pointer: its size is the contract.
            static_cast<int>(sizeof document),  // NOLINT(bugprone-sizeof-expression)
            size) != 0 ||
        document == nullptr || !document->isObject()) {
        error = "the device gave no document";
        return nullptr;
    }
    return document;
}

}  // namespace kv830host
