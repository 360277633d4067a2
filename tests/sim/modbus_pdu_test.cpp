// Request handling on the register image: the functions the controller serves, its
// address ranges, and the registers configured to refuse access.
#include "modbus_pdu.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "plant_model.h"

namespace plantsim {
namespace {

using Bytes = std::vector<std::uint8_t>;

ModelConfig frozen() {
    ModelConfig c;
    c.frozen = true;
    c.faults_per_hour = 0.0;
    return c;
}

Bytes request(std::uint8_t function, int a, int b) {
    return {function, static_cast<std::uint8_t>(a >> 8), static_cast<std::uint8_t>(a & 0xFF),
            static_cast<std::uint8_t>(b >> 8), static_cast<std::uint8_t>(b & 0xFF)};
}

Bytes write_multiple(int first, const std::vector<int>& values) {
    Bytes r = request(kFnWriteMultipleRegisters, first, static_cast<int>(values.size()));
    r.push_back(static_cast<std::uint8_t>(2 * values.size()));
    for (int v : values) {
        r.push_back(static_cast<std::uint8_t>(v >> 8));
        r.push_back(static_cast<std::uint8_t>(v & 0xFF));
    }
    return r;
}

Bytes ask(PduServer& server, const Bytes& pdu) {
    return server.handle(pdu.data(), pdu.size()).pdu;
}

TEST(PduServer, AnswersWithExceptionsWhereTheControllerWould) {
    struct Row {
        const char* what;
        Bytes pdu;
        int exception;  // 0: a normal reply
    };
    // clang-format off
    const Row rows[] = {
        {"read of the whole first block",      request(3, 0, 3),      0},
        {"read of the last register",          request(3, 285, 1),    0},
        {"read past the last register",        request(3, 285, 2),    2},
        {"read starting past the end",         request(3, 286, 1),    2},
        {"read of 125 registers",              request(3, 0, 125),    0},
        {"read of 126 registers",              request(3, 0, 126),    3},
        {"read of no register",                request(3, 0, 0),      3},
        {"read of a gap of the map",           request(3, 13, 6),     0},
        {"read of all inputs",                 request(2, 0, 81),     0},
        {"read past the last input",           request(2, 1, 81),     2},
        {"read of no input",                   request(2, 0, 0),      3},
        {"write of the last register",         request(6, 285, 1),    0},
        {"write past the last register",       request(6, 286, 1),    2},
        {"multiple write at the end",          write_multiple(284, {1, 2}),    0},
        {"multiple write past the end",        write_multiple(285, {1, 2}),    2},
        {"read of coils",                      request(1, 0, 8),      1},
        {"read of input registers",            request(4, 0, 1),      1},
        {"short read request",                 Bytes{3, 0, 0, 0},     3},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        PlantModel model(frozen());
        PduServer server(model, {});
        const Bytes reply = ask(server, row.pdu);
        ASSERT_GE(reply.size(), 2U);
        if (row.exception == 0) {
            EXPECT_EQ(reply[0], row.pdu[0]);
        } else {
            EXPECT_EQ(reply, (Bytes{static_cast<std::uint8_t>(row.pdu[0] | 0x80),
                                    static_cast<std::uint8_t>(row.exception)}));
        }
    }
}

TEST(PduServer, RefusedRegistersAnswerExceptionTwoWhenCovered) {
    struct Row {
        const char* what;
        Bytes pdu;
        bool refused;
    };
    // clang-format off
    const Row rows[] = {
        {"read covering 14",            request(3, 3, 12),   true},
        {"read ending just before 14",  request(3, 3, 11),   false},
        {"read starting at 15",         request(3, 15, 1),   true},
        {"read starting after 15",      request(3, 16, 3),   false},
        {"single write to 14",          request(6, 14, 5),   true},
        {"single write to 13",          request(6, 13, 5),   false},
        {"multiple write over 14",      write_multiple(13, {16, 1}), true},
        {"input read is not affected",  request(2, 0, 81),   false},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        PlantModel model(frozen());
        PduServer server(model, {14, 15});
        const PlantModel::Holding before = model.holding();
        const Bytes reply = ask(server, row.pdu);
        if (row.refused) {
            EXPECT_EQ(reply, (Bytes{static_cast<std::uint8_t>(row.pdu[0] | 0x80), 2}));
            EXPECT_EQ(model.holding(), before) << "a refused write changed the image";
        } else {
            EXPECT_EQ(reply[0], row.pdu[0]);
        }
    }
}

TEST(PduServer, ReadRepliesCarryTheImage) {
    PlantModel model(frozen());
    PduServer server(model, {});
    const Bytes reply = ask(server, request(3, 19, 34));
    ASSERT_EQ(reply.size(), 2U + 68U);
    EXPECT_EQ(reply[1], 68);
    for (std::size_t i = 0; i < 34; ++i) {
        const int value = (reply[2 + 2 * i] << 8) | reply[3 + 2 * i];
        EXPECT_EQ(value, model.holding()[19 + i]) << "register " << 19 + i;
    }
}

TEST(PduServer, InputBitsArePackedLowBitFirst) {
    PlantModel model(frozen());
    PduServer server(model, {});
    const Bytes reply = ask(server, request(2, 0, 81));
    ASSERT_EQ(reply.size(), 2U + 11U);
    EXPECT_EQ(reply[1], 11);
    for (int i = 0; i < 81; ++i) {
        const bool bit = ((reply[2 + static_cast<std::size_t>(i / 8)] >> (i % 8)) & 1) != 0;
        EXPECT_EQ(bit, model.inputs()[static_cast<std::size_t>(i)] != 0) << "input " << i;
    }
    EXPECT_EQ(reply[12] & 0xFE, 0) << "bits past input 80 must be zero";
}

TEST(PduServer, WritesChangeTheImageAndAreConfirmed) {
    PlantModel model(frozen());
    PduServer server(model, {});
    const Bytes single = request(6, 19, 0x1234);
    EXPECT_EQ(ask(server, single), single);
    EXPECT_EQ(model.holding()[19], 0x1234);

    EXPECT_EQ(ask(server, write_multiple(61, {11, 22, 33})), request(16, 61, 3));
    EXPECT_EQ(model.holding()[61], 11);
    EXPECT_EQ(model.holding()[62], 22);
    EXPECT_EQ(model.holding()[63], 33);

    Bytes inconsistent = write_multiple(61, {1, 2});
    inconsistent[5] = 3;  // byte count that does not match the register count
    EXPECT_EQ(ask(server, inconsistent), (Bytes{0x90, 3}));
    EXPECT_EQ(model.holding()[61], 11);
}

}  // namespace
}  // namespace plantsim
