#include "history_decoder.h"

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <iostream>
#include <streambuf>

#include "qdx_host.h"

namespace kv830host {

namespace {

constexpr int kDocumentRequest = 803;

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
    const Json::Value* document = nullptr;
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
