#include "kv830.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstring>
#include <stdexcept>

template class UniDataDevice<KV830_Data_t, SPModbus, kv830::kRecordType>;

namespace {

void send_poll_request(SPModbus& device, const kv830::PollStep& step);

}  // namespace

KV830::KV830() {
    device_type_ = "kv830";
    baud_rate_ = 9600;
    modbus_option_ = true;
}

KV830::~KV830() = default;

double KV830::Get_Value(unsigned, const std::string&) const {
    if (!data_ready_) {
        throw std::out_of_range("数据未就绪");
    }
    const boost::posix_time::ptime now =
        boost::date_time::second_clock<boost::posix_time::ptime>::local_time();
    const boost::posix_time::time_duration age = now - update_time_;
    const long long seconds = age.is_special() ? 0 : static_cast<long long>(age.total_seconds());
    if (seconds >= kv830::kStaleAfterSeconds) {
        throw std::out_of_range("数据已超时");
    }
    throw std::out_of_range("不支持变量");
}

int KV830::InitSetting(const Json::Value& settings) {
    store_data_id();
    return UniDataDevice::InitSetting(settings);
}

int KV830::RefreshStatus() {
    QDXSPDevice::RefreshStatus();
    request_tag_ = kv830::kFirstPollTag;
    modbus_read_registers(kv830::kPollChain[0].first, kv830::kPollChain[0].count);
    return 1;
}

// Runs for every reply on the line: one copy into the record, the next request, and
// nothing that allocates or formats.
int KV830::process_payload(SPModbus::tab_type, unsigned) {
    const int tag = request_tag_;
    if (tag >= kv830::kFirstPollTag && tag <= kv830::kLastPollTag) {
        const kv830::PollStep& step = kv830::kPollChain[tag - kv830::kFirstPollTag];
        const void* reply = step.source == kv830::Source::InputBits
                                ? static_cast<const void*>(reply_bits_)
                                : static_cast<const void*>(reply_regs_);
        unsigned char* const to = record_bytes() + step.offset;
        const std::size_t bytes = kv830::step_bytes(step);
        // Seven of the 17 replies carry one register: two bytes moved in place cost less
        // than the call that copies the others.
        if (bytes == 2) {
            std::memcpy(to, reply, 2);
        } else {
            std::memcpy(to, reply, bytes);
        }
        if (tag == kv830::kLastPollTag) {
            RoundDone();
            return 0;
        }
        const int next = tag - kv830::kFirstPollTag + 1;
        request_tag_ = kv830::poll_tag(next);
        send_poll_request(*this, kv830::kPollChain[next]);
        return 1;
    }
    if (tag == KV830_WRITE_REGISTER) {
        write_result_ = static_cast<int>(reply_regs_[0]) == write_expect_
                            ? KV830_WRITE_CONFIRMED
                            : KV830_WRITE_NOT_CONFIRMED;
        Reset();
        return 0;
    }
    if (tag == KV830_WRITE_REGISTERS) {
        write_result_ = reply_regs_[0] == 16 && static_cast<int>(reply_regs_[1]) == write_expect_
                            ? KV830_WRITE_CONFIRMED
                            : KV830_WRITE_NOT_CONFIRMED;
        Reset();
        return 0;
    }
    return 1;
}

void KV830::RunCheckThreshold() {}

namespace {

void send_poll_request(SPModbus& device, const kv830::PollStep& step) {
    if (step.source == kv830::Source::InputBits) {
        device.modbus_read_input_bits(step.first, step.count);
    } else {
        device.modbus_read_registers(step.first, step.count);
    }
}

}  // namespace
