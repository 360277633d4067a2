// The link's frames as bytes: requests as the controller must receive them, replies as
// the link must judge them. Expected bytes are written out by hand from the protocol.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "modbus_adu.h"
#include "write_echo.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using qdxhost::EchoVerdict;
using qdxhost::Function;
using qdxhost::ReplyStatus;

TEST(Frames, RequestsAsSent) {
    std::uint8_t pdu[qdxhost::kMaxPduSize];
    std::uint8_t adu[qdxhost::kMaxAduSize];
    // Read 10 holding registers from 0 at unit 1: the textbook frame, CRC C5 CD.
    std::size_t n = qdxhost::encode_read_pdu(Function::ReadHoldingRegisters, 0, 10, pdu);
    std::size_t m = qdxhost::frame_rtu(1, pdu, n, adu);
    EXPECT_EQ(Bytes(adu, adu + m), (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD}));
    m = qdxhost::frame_tcp(0x1234, 0xFF, pdu, n, adu);
    EXPECT_EQ(Bytes(adu, adu + m),
              (Bytes{0x12, 0x34, 0x00, 0x00, 0x00, 0x06, 0xFF, 0x03, 0x00, 0x00, 0x00, 0x0A}));
    n = qdxhost::encode_read_pdu(Function::ReadInputBits, 0x0102, 81, pdu);
    EXPECT_EQ(Bytes(pdu, pdu + n), (Bytes{0x02, 0x01, 0x02, 0x00, 0x51}));

    const std::uint16_t one[] = {0xABCD};
    n = qdxhost::encode_write_pdu(Function::WriteSingleRegister, 19, one, 1, pdu);
    EXPECT_EQ(Bytes(pdu, pdu + n), (Bytes{0x06, 0x00, 0x13, 0xAB, 0xCD}));
    const std::uint16_t three[] = {1, 0x0200, 0xFFFF};
    n = qdxhost::encode_write_pdu(Function::WriteMultipleRegisters, 246, three, 3, pdu);
    EXPECT_EQ(Bytes(pdu, pdu + n),
              (Bytes{0x10, 0x00, 0xF6, 0x00, 0x03, 0x06, 0x00, 0x01, 0x02, 0x00, 0xFF, 0xFF}));
}

TEST(Frames, ReplySizeFromItsFunction) {
    // Fields in the order a row of the table reads.
    const struct {  // NOLINT(clang-analyzer-optin.performance.Padding)
        Function f;
        int count;
        std::uint8_t reply_function;
        std::size_t size;
    } rows[] = {
        {Function::ReadHoldingRegisters,   10,  0x03, 22 },
        {Function::ReadHoldingRegisters,   125, 0x03, 252},
        {Function::ReadHoldingRegisters,   10,  0x83, 2  },
        {Function::ReadHoldingRegisters,   10,  0x04, 0  },
        {Function::ReadInputBits,          81,  0x02, 13 },
        {Function::ReadInputBits,          8,   0x02, 3  },
        {Function::ReadInputBits,          9,   0x82, 2  },
        {Function::WriteSingleRegister,    1,   0x06, 5  },
        {Function::WriteMultipleRegisters, 3,   0x10, 5  },
        {Function::WriteMultipleRegisters, 3,   0x90, 2  },
        {Function::WriteMultipleRegisters, 3,   0x06, 0  },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.reply_function));
        EXPECT_EQ(qdxhost::reply_pdu_size(row.f, row.count, row.reply_function), row.size);
    }
}

TEST(Frames, ReadReplyJudgement) {
    const struct {
        const char* name;
        Function f;
        int count;
        Bytes pdu;
        ReplyStatus status;
        int exception;
    } rows[] = {
        {"two registers",
         Function::ReadHoldingRegisters,
         2,                                                 {0x03, 4, 0, 1, 0, 2},
         ReplyStatus::Ok,
         0                                                                                                  },
        {"byte count short",
         Function::ReadHoldingRegisters,
         2,                                                 {0x03, 2, 0, 1, 0, 2},
         ReplyStatus::Garbled,
         0                                                                                                  },
        {"frame short",
         Function::ReadHoldingRegisters,
         2,                                                 {0x03, 4, 0, 1, 0},
         ReplyStatus::Garbled,
         0                                                                                                  },
        {"other function",
         Function::ReadHoldingRegisters,
         2,                                                 {0x04, 4, 0, 1, 0, 2},
         ReplyStatus::Garbled,
         0                                                                                                  },
        {"illegal address",
         Function::ReadHoldingRegisters,
         2,                                                 {0x83, 2},
         ReplyStatus::Exception,
         2                                                                                                  },
        {"busy",                Function::ReadInputBits, 9, {0x82, 6},             ReplyStatus::Exception, 6},
        {"nine bits",           Function::ReadInputBits, 9, {0x02, 2, 0xFF, 0x01}, ReplyStatus::Ok,        0},
        {"nine bits, one byte",
         Function::ReadInputBits,
         9,                                                 {0x02, 1, 0xFF},
         ReplyStatus::Garbled,
         0                                                                                                  },
        {"empty",               Function::ReadInputBits, 9, {},                    ReplyStatus::Garbled,   0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const qdxhost::ReplyCheck c =
            qdxhost::check_read_reply(row.f, row.count, row.pdu.data(), row.pdu.size());
        EXPECT_EQ(c.status, row.status);
        EXPECT_EQ(c.exception, row.exception);
    }
}

TEST(Frames, ValuesDecoded) {
    const Bytes regs = {0x03, 4, 0x12, 0x34, 0xFF, 0x00};
    std::uint16_t words[2] = {};
    qdxhost::decode_registers(regs.data(), 2, words);
    EXPECT_EQ(words[0], 0x1234);
    EXPECT_EQ(words[1], 0xFF00);
    // Bits go least significant first within each byte.
    const Bytes bits = {0x02, 2, 0b10100101, 0b1};
    std::uint8_t b[9] = {};
    qdxhost::decode_bits(bits.data(), 9, b);
    EXPECT_EQ(Bytes(b, b + 9), (Bytes{1, 0, 1, 0, 0, 1, 0, 1, 1}));
}

TEST(Frames, MbapHeaders) {
    const struct {
        const char* name;
        Bytes head;
        bool ok;
    } rows[] = {
        {"read reply", {0, 7, 0, 0, 0, 5, 1},   true },
        {"protocol 1", {0, 7, 0, 1, 0, 5, 1},   false},
        {"length 1",   {0, 7, 0, 0, 0, 1, 1},   false},
        {"length 255", {0, 7, 0, 0, 0, 255, 1}, false},
        {"length 254", {0, 7, 0, 0, 0, 254, 1}, true },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        qdxhost::MbapHeader h;
        EXPECT_EQ(qdxhost::parse_mbap(row.head.data(), h), row.ok);
        EXPECT_EQ(h.transaction, 7);
    }
}

TEST(WriteEcho, Judgement) {
    const std::uint16_t single[] = {0x0010};
    const std::uint16_t multiple[] = {16, 1};
    const struct {
        const char* name;
        Function f;
        const std::uint16_t* values;
        Bytes pdu;
        EchoVerdict verdict;
        int exception;
        std::vector<std::uint16_t> words;
    } rows[] = {
        {"single echoed",
         Function::WriteSingleRegister,
         single,   {0x06, 0, 19, 0, 0x10},
         EchoVerdict::Echo,
         0, {0x0010} },
 // The device compares the value: an echo of another value is its to judge.
        {"single, other value",
         Function::WriteSingleRegister,
         single,   {0x06, 0, 19, 0, 0x11},
         EchoVerdict::Echo,
         0, {0x0011} },
        {"single, other address",
         Function::WriteSingleRegister,
         single,   {0x06, 0, 20, 0, 0x10},
         EchoVerdict::Mismatch,
         0, {0xFFEF} },
        {"single refused",
         Function::WriteSingleRegister,
         single,   {0x86, 2},
         EchoVerdict::Exception,
         2, {0xFFEF} },
        {"multiple echoed",
         Function::WriteMultipleRegisters,
         multiple, {0x10, 0, 13, 0, 2},
         EchoVerdict::Echo,
         0, {16, 2}  },
        {"multiple, other function",
         Function::WriteMultipleRegisters,
         multiple, {0x06, 0, 13, 0, 2},
         EchoVerdict::Mismatch,
         0, {6, 0}   },
        {"multiple refused",
         Function::WriteMultipleRegisters,
         multiple, {0x90, 3},
         EchoVerdict::Exception,
         3, {0x90, 0}},
        {"multiple, short echo",
         Function::WriteMultipleRegisters,
         multiple, {0x10, 0, 13},
         EchoVerdict::Mismatch,
         0, {0x10, 0}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const qdxhost::WriteEcho e =
            qdxhost::judge_write_echo(row.f, row.f == Function::WriteSingleRegister ? 19 : 13,
                                      row.values, row.pdu.data(), row.pdu.size());
        EXPECT_EQ(e.verdict, row.verdict);
        EXPECT_EQ(e.exception, row.exception);
        EXPECT_EQ(std::vector<std::uint16_t>(e.words, e.words + e.word_count), row.words);
    }
}

}  // namespace
