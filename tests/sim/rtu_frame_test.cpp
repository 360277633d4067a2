// RTU framing: the CRC, reply frames, and cutting requests out of a byte stream.
// The framer takes the time as an argument, so silences are simulated, not waited for.
#include "rtu_frame.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace plantsim {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr double kSilence = 0.004;  // 9600 baud, 8N1

Bytes with_crc(Bytes b) {
    const std::uint16_t crc = crc16(b.data(), b.size());
    b.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    b.push_back(static_cast<std::uint8_t>(crc >> 8));
    return b;
}

TEST(Crc16, MatchesKnownFrames) {
    struct Row {
        const char* what;
        Bytes data;
        std::uint16_t crc;
    };
    // clang-format off
    const Row rows[] = {
        {"check string 123456789", {'1', '2', '3', '4', '5', '6', '7', '8', '9'}, 0x4B37},
        {"read 10 registers of slave 1",  {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A}, 0xCDC5},
        {"read 3 registers of slave 17",  {0x11, 0x03, 0x00, 0x6B, 0x00, 0x03}, 0x8776},
        {"write register 1 of slave 1",   {0x01, 0x06, 0x00, 0x01, 0x00, 0x03}, 0x0B98},
        {"nothing",                       {},                                   0xFFFF},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(crc16(row.data.data(), row.data.size()), row.crc);
    }
}

TEST(Crc16, FramesCarryTheCrcLowByteFirst) {
    const Bytes frame = rtu_frame(0x01, {0x03, 0x00, 0x00, 0x00, 0x0A});
    EXPECT_EQ(frame, (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD}));
    EXPECT_TRUE(crc_ok(frame.data(), frame.size()));

    const Bytes bad = rtu_frame(0x01, {0x03, 0x00, 0x00, 0x00, 0x0A}, true);
    ASSERT_EQ(bad.size(), frame.size());
    EXPECT_TRUE(std::equal(bad.begin(), bad.end() - 2, frame.begin()));
    EXPECT_FALSE(crc_ok(bad.data(), bad.size()));
}

TEST(RtuSilence, IsThreeAndAHalfCharactersUpTo19200Baud) {
    struct Row {
        int baud;
        int bits;
        double seconds;
    };
    const Row rows[] = {
        {9600,   10, 3.5 * 10 / 9600.0 },
        {9600,   11, 3.5 * 11 / 9600.0 },
        {1200,   10, 3.5 * 10 / 1200.0 },
        {19200,  10, 3.5 * 10 / 19200.0},
        {38400,  10, 0.00175           },
        {115200, 11, 0.00175           },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.baud) + " baud, " + std::to_string(row.bits) + " bits");
        // Held in whole nanoseconds, as the host's link times it too.
        EXPECT_NEAR(rtu_silence_seconds(row.baud, row.bits), row.seconds, 1e-9);
    }
}

TEST(RtuRequestLength, FollowsTheFunctionCode) {
    struct Row {
        const char* what;
        Bytes head;
        int length;
    };
    const Row rows[] = {
        {"one byte",                         {0x01},                      0 },
        {"read holding registers",           {0x01, 0x03},                8 },
        {"read inputs",                      {0x01, 0x02},                8 },
        {"write single register",            {0x01, 0x06},                8 },
        {"write multiple, count not yet in", {0x01, 0x10, 0, 0, 0, 2},    0 },
        {"write multiple of two registers",  {0x01, 0x10, 0, 0, 0, 2, 4}, 13},
        {"unknown function",                 {0x01, 0x41},                -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(rtu_request_length(row.head.data(), row.head.size()), row.length);
    }
}

TEST(RtuRequestFramer, CutsFramesHoweverTheBytesArrive) {
    const Bytes read = with_crc({0x01, 0x03, 0x00, 0x00, 0x00, 0x03});
    const Bytes write =
        with_crc({0x01, 0x10, 0x00, 0x3D, 0x00, 0x02, 0x04, 0x00, 0x0B, 0x00, 0x16});
    struct Row {
        const char* what;
        Bytes frame;
        std::size_t chunk;
    };
    const Row rows[] = {
        {"read in one piece",  read,  64},
        {"read byte by byte",  read,  1 },
        {"read in threes",     read,  3 },
        {"write in one piece", write, 64},
        {"write byte by byte", write, 1 },
        {"write in fives",     write, 5 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        RtuRequestFramer framer(kSilence);
        Bytes out;
        double t = 10.0;
        for (std::size_t i = 0; i < row.frame.size(); i += row.chunk) {
            const std::size_t n = std::min(row.chunk, row.frame.size() - i);
            EXPECT_FALSE(framer.next(out, t)) << "frame complete too early";
            framer.feed(row.frame.data() + i, n, t);
            t += 0.001;  // well inside the silence
        }
        ASSERT_TRUE(framer.next(out, t));
        EXPECT_EQ(out, row.frame);
        EXPECT_FALSE(framer.next(out, t + 1.0));
        EXPECT_EQ(framer.dropped(), 0U);
    }
}

TEST(RtuRequestFramer, DropsWhatMakesNoFrame) {
    const Bytes read = with_crc({0x01, 0x03, 0x00, 0x00, 0x00, 0x03});
    Bytes bad_crc = read;
    bad_crc.back() ^= 0x01;
    const Bytes partial(read.begin(), read.begin() + 5);

    struct Row {
        const char* what;
        Bytes first;
        double gap;  // seconds between `first` and a good request
        bool good_request_served;
    };
    const Row rows[] = {
        {"bad CRC, then a good request after a silence",       bad_crc, 0.010, true },
        {"partial frame, then a good request after a silence", partial, 0.010, true },
        {"partial frame run into a good request",              partial, 0.001, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        RtuRequestFramer framer(kSilence);
        Bytes out;
        framer.feed(row.first.data(), row.first.size(), 1.0);
        EXPECT_FALSE(framer.next(out, 1.0));
        EXPECT_FALSE(framer.next(out, 1.0 + row.gap / 2));
        framer.feed(read.data(), read.size(), 1.0 + row.gap);
        const bool served = framer.next(out, 1.0 + row.gap);
        EXPECT_EQ(served, row.good_request_served);
        if (served) {
            EXPECT_EQ(out, read);
        }
        EXPECT_FALSE(framer.next(out, 2.0));
        EXPECT_GT(framer.dropped(), 0U);
    }
}

TEST(RtuRequestFramer, EndsUnknownFunctionsAtTheSilence) {
    const Bytes odd = with_crc({0x01, 0x2B, 0x0E, 0x01, 0x00});
    RtuRequestFramer framer(kSilence);
    Bytes out;
    framer.feed(odd.data(), odd.size(), 5.0);
    EXPECT_FALSE(framer.next(out, 5.0 + kSilence / 2));
    EXPECT_DOUBLE_EQ(framer.deadline(), 5.0 + kSilence);
    ASSERT_TRUE(framer.next(out, 5.0 + 2 * kSilence));
    EXPECT_EQ(out, odd);
    EXPECT_LT(framer.deadline(), 0.0);
}

}  // namespace
}  // namespace plantsim
