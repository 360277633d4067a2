#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "test_support.h"

using kv830test::RecordingHost;
using kv830test::TestDevice;
using qdxhost::Function;
using qdxhost::HostAccess;

namespace {

class ControlTest : public ::testing::Test {
  protected:
    void SetUp() override { HostAccess::set_observer(device, &host); }

    // Runs one request with stdout captured into `log`.
    int request(int code, const void* in, int in_len, void* out, int out_len, int& out_size) {
        testing::internal::CaptureStdout();
        const int rc = device.DeviceIoControl(code, in, in_len, out, out_len, out_size);
        log = testing::internal::GetCapturedStdout();
        return rc;
    }
    int request(int code, const std::vector<std::uint16_t>& words, int extra_bytes = 0) {
        int size = 77;
        const int rc = request(code, words.data(), static_cast<int>(words.size() * 2) + extra_bytes,
                               nullptr, 0, size);
        EXPECT_EQ(size, 77) << "writes leave out_size alone";
        return rc;
    }
    int request_text(int code, const std::string& text) {
        int size = 77;
        return request(code, text.data(), static_cast<int>(text.size()), nullptr, 0, size);
    }
    int readback() {
        std::int32_t result = 99;
        int size = 0;
        request(100, nullptr, 0, &result, sizeof result, size);
        EXPECT_EQ(size, 4);
        return result;
    }

    TestDevice device;
    RecordingHost host;
    std::string log;
};

}  // namespace

TEST_F(ControlTest, SingleWriteSendsAndAwaitsItsEcho) {
    EXPECT_EQ(request(206, {100, 5}), 0);
    EXPECT_EQ(log, "KV830::DeviceIoControl 206\n");
    ASSERT_EQ(host.requests.size(), 1U);
    EXPECT_EQ(host.requests[0].function, Function::WriteSingleRegister);
    EXPECT_EQ(host.requests[0].address, 100);
    EXPECT_EQ(host.requests[0].values[0], 5);
    EXPECT_EQ(device.write_expect_, 5);
    EXPECT_EQ(device.request_tag_, 206);
    EXPECT_EQ(host.calls, std::vector<std::string>{"OpenPort"});
    EXPECT_EQ(readback(), -1);

    const std::uint16_t echo[2] = {5, 0};
    EXPECT_EQ(HostAccess::reply_registers(device, echo, 1), 0);
    EXPECT_EQ(readback(), 1);
    EXPECT_EQ(readback(), 1) << "the result stays until the next request";

    EXPECT_EQ(request(206, {100, 65535}), 0);
    EXPECT_EQ(device.write_expect_, 65535);
    const std::uint16_t wrong[1] = {65534};
    HostAccess::reply_registers(device, wrong, 1);
    EXPECT_EQ(readback(), 3);
}

TEST_F(ControlTest, MultipleWriteCountsRegistersFromTheInputLength) {
    struct Row {
        int extra_bytes;
        int count;
    };
    for (const Row row : {
             Row{0, 4},
             Row{1, 4}
    }) {
        SCOPED_TRACE(row.extra_bytes);
        host.requests.clear();
        EXPECT_EQ(request(210, {246, 11, 12, 13, 14, 0xEEEE}, row.extra_bytes - 2), 0);
        ASSERT_EQ(host.requests.size(), 1U);
        const qdxhost::Request& r = host.requests[0];
        EXPECT_EQ(r.function, Function::WriteMultipleRegisters);
        EXPECT_EQ(r.address, 246);
        EXPECT_EQ(r.count, row.count);
        EXPECT_EQ(std::vector<std::uint16_t>(r.values, r.values + 4),
                  (std::vector<std::uint16_t>{11, 12, 13, 14}));
        EXPECT_EQ(device.write_expect_, row.count);
    }
    const std::uint16_t echo[2] = {16, 4};
    EXPECT_EQ(HostAccess::reply_registers(device, echo, 2), 0);
    EXPECT_EQ(readback(), 1);
}

TEST_F(ControlTest, MultipleWriteAcceptsUnalignedInputAndTheLargestWrite) {
    std::vector<unsigned char> buffer(1 + 2 * 124);
    std::uint16_t words[124];
    words[0] = 1000;
    for (int i = 1; i < 124; ++i) {
        words[i] = static_cast<std::uint16_t>(i * 3);
    }
    std::memcpy(buffer.data() + 1, words, sizeof words);
    int size = 0;
    EXPECT_EQ(request(210, buffer.data() + 1, sizeof words, nullptr, 0, size), 0);
    ASSERT_EQ(host.requests.size(), 1U);
    EXPECT_EQ(host.requests[0].count, 123);
    EXPECT_EQ(host.requests[0].values[122], 123 * 3);
}

TEST_F(ControlTest, ReadbackCopiesTheResultWhenThereIsRoomAndForwards) {
    host.io_result = 42;
    std::int32_t result = 99;
    int size = 0;
    EXPECT_EQ(request(100, nullptr, 0, &result, sizeof result, size), 42);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(size, 4);
    EXPECT_EQ(log, "KV830::DeviceIoControl 100\n");

    unsigned char small[3] = {1, 2, 3};
    size = 9;
    EXPECT_EQ(request(555, nullptr, 0, small, 3, size), 42);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(small[0], 1);
    size = 9;
    EXPECT_EQ(request(555, nullptr, 0, nullptr, 64, size), 42);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(host.io_codes, (std::vector<int>{100, 555, 555}));
    EXPECT_EQ(device.request_tag_, 0);
    EXPECT_EQ(host.open_port_calls, 0);
}

TEST_F(ControlTest, JsonRequestsCheckTheDocumentByMode) {
    host.io_result = 7;
    struct Row {
        int code;
        int mode;
        const char* text;
        int result;
        bool forwarded;
    };
    const Row rows[] = {
        {310, 1, R"({"signal_id":"x"})",       7,  true },
        {310, 1, "{",                          -1, false},
        {310, 2, "{",                          -1, false},
        {310, 1, "",                           -1, false},
        {310, 1, "[1,2]",                      -1, false},
        {310, 1, "42",                         -1, false},
        {310, 1, "// note\n{\"signal_id\":3}", 7,  true },
        {320, 1, "{",                          7,  true },
        {320, 1, "[1]",                        7,  true },
        {320, 2, "{",                          -1, false},
        {320, 3, "\"text\"",                   -1, false},
        {320, 2, R"({"signal_id":"x"})",       7,  true },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.code) + " mode " + std::to_string(row.mode) + " " +
                     row.text);
        host.io_codes.clear();
        device.b_mode_ = row.mode;
        device.write_result_ = 1;
        device.request_tag_ = 15;
        const int opened = host.open_port_calls;
        EXPECT_EQ(request_text(row.code, row.text), row.result);
        EXPECT_EQ(log, "KV830::DeviceIoControl " + std::to_string(row.code) + "\n");
        EXPECT_EQ(device.request_tag_, row.code);
        EXPECT_EQ(device.write_result_, -1);
        EXPECT_EQ(host.open_port_calls, opened + 1);
        EXPECT_EQ(host.io_codes.size(), row.forwarded ? 1U : 0U);
        EXPECT_TRUE(host.requests.empty()) << "nothing goes on the line";
    }
}

TEST_F(ControlTest, DeeplyNestedDocumentIsRefusedNotThrown) {
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    EXPECT_EQ(request_text(310, deep), -1);
    device.b_mode_ = 2;
    EXPECT_EQ(request_text(320, deep), -1);
}

TEST_F(ControlTest, MalformedInputIsRefusedBeforeAnythingChanges) {
    std::vector<unsigned char> big(std::size_t{2} * 125, 0);  // start address and 124 registers
    const unsigned char three[3] = {1, 2, 3};
    const std::uint16_t wraps[3] = {65535, 1, 2};  // two registers from the last address
    struct Row {
        const char* what;
        const void* in;
        int code;
        int in_len;
    };
    const Row rows[] = {
        {"206 null",         nullptr,    206, 4  },
        {"206 three bytes",  three,      206, 3  },
        {"206 negative",     three,      206, -1 },
        {"210 null",         nullptr,    210, 6  },
        {"210 three bytes",  three,      210, 3  },
        {"210 negative",     three,      210, -8 },
        {"210 too many",     big.data(), 210, 250},
        {"210 past the end", wraps,      210, 6  },
        {"310 negative",     three,      310, -1 },
        {"310 null",         nullptr,    310, 5  },
        {"320 negative",     three,      320, -1 },
        {"320 null",         nullptr,    320, 5  },
    };
    device.request_tag_ = 14;
    device.write_result_ = 1;
    device.write_expect_ = 9;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        int size = 77;
        EXPECT_EQ(request(row.code, row.in, row.in_len, nullptr, 0, size), -1);
        EXPECT_EQ(log, "KV830::DeviceIoControl " + std::to_string(row.code) + "\n");
        EXPECT_EQ(size, 77);
        EXPECT_EQ(device.request_tag_, 14);
        EXPECT_EQ(device.write_result_, 1);
        EXPECT_EQ(device.write_expect_, 9);
        EXPECT_TRUE(host.calls.empty());
        EXPECT_TRUE(host.requests.empty());
    }
}

TEST_F(ControlTest, WriteMidCycleTakesOverTheOutstandingReply) {
    device.RefreshStatus();
    for (int i = 0; i < 4; ++i) {
        kv830test::answer(device);
    }
    EXPECT_EQ(device.request_tag_, 15);
    EXPECT_EQ(request(206, {30, 7}), 0);
    // The read that was on the line answers first and is judged as the echo.
    const std::uint16_t late_read[2] = {1234, 0};
    EXPECT_EQ(HostAccess::reply_registers(device, late_read, 2), 0);
    EXPECT_EQ(readback(), 3);
    EXPECT_TRUE(host.published.empty()) << "the interrupted cycle completes no round";

    // A write reply arriving after the next cycle started is taken for block 1.
    EXPECT_EQ(request(206, {30, 7}), 0);
    device.RefreshStatus();
    const std::uint16_t echo[3] = {7, 0, 0};
    EXPECT_EQ(HostAccess::reply_registers(device, echo, 3), 1);
    EXPECT_EQ(readback(), -1);
    EXPECT_EQ(device.request_tag_, 12);
}

TEST_F(ControlTest, JsonRequestAfterAWriteClearsTheResultAndIgnoresItsEcho) {
    EXPECT_EQ(request(206, {1, 1}), 0);
    const std::uint16_t echo[1] = {1};
    HostAccess::reply_registers(device, echo, 1);
    EXPECT_EQ(readback(), 1);
    EXPECT_EQ(request_text(310, "{\"signal_id\":\"a\"}"), 0);
    EXPECT_EQ(readback(), -1);
    EXPECT_EQ(HostAccess::reply_registers(device, echo, 1), 1);
    EXPECT_EQ(readback(), -1);
}
