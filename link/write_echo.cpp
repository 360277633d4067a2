#include "write_echo.h"

#include "be_words.h"
#include "modbus_adu.h"

namespace qdxhost {

namespace {

constexpr std::size_t kSingleWriteSize = 5;
constexpr std::size_t kMultipleWriteHeader = 6;
constexpr std::size_t kEchoSize = 5;
constexpr std::uint16_t kAllBits = 0xFFFFU;

}  // namespace

std::size_t encode_write_pdu(Function function, int address, const std::uint16_t* values, int count,
                             std::uint8_t* out) {
    out[0] = static_cast<std::uint8_t>(function);
    kv830cli::put_be16(out + 1, static_cast<unsigned>(address));
    if (function == Function::WriteSingleRegister) {
        kv830cli::put_be16(out + 3, values[0]);
        return kSingleWriteSize;
    }
    kv830cli::put_be16(out + 3, static_cast<unsigned>(count));
    out[5] = static_cast<std::uint8_t>(count * 2);
    for (int i = 0; i < count; ++i) {
        kv830cli::put_be16(out + kMultipleWriteHeader + 2 * static_cast<std::ptrdiff_t>(i),
                           values[i]);
    }
    return kMultipleWriteHeader + 2 * static_cast<std::size_t>(count);
}

WriteEcho judge_write_echo(Function function, int address, const std::uint16_t* values,
                           const std::uint8_t* pdu, std::size_t size) {
    WriteEcho e;
    const auto asked = static_cast<std::uint8_t>(function);
    const std::uint8_t echoed = size > 0 ? pdu[0] : std::uint8_t{0};
    if (size >= kEchoSize && echoed == asked &&
        kv830cli::be16_at(pdu + 1) == static_cast<unsigned>(address)) {
        e.verdict = EchoVerdict::Echo;
    } else if (size >= 2 && echoed == (asked | kExceptionFlag)) {
        e.verdict = EchoVerdict::Exception;
        e.exception = pdu[1];
    }
    const bool echo = e.verdict == EchoVerdict::Echo;
    if (function == Function::WriteSingleRegister) {
        e.words[0] =
            echo ? kv830cli::be16_at(pdu + 3) : static_cast<std::uint16_t>(values[0] ^ kAllBits);
        e.word_count = 1;
    } else {
        e.words[0] = echo ? std::uint16_t{asked} : std::uint16_t{echoed};
        e.words[1] = echo ? kv830cli::be16_at(pdu + 3) : std::uint16_t{0};
        e.word_count = 2;
    }
    return e;
}

}  // namespace qdxhost
