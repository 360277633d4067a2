// What the Modbus server makes of anything a client sends: the bytes arrive in pieces of
// sizes the input chooses, each write ends with an outcome the input chooses, and every
// reply must be a whole, well-formed frame: protocol 0, a length that matches, and a PDU
// that is a read's answer with its byte count, a write's echo or an exception. A client
// whose stream cannot be followed is closed; one that can never stalls the server.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "be_words.h"
#include "client_session.h"

namespace {

using kv830host::ClientSession;
using kv830host::WriteOutcome;

constexpr std::int64_t kNowMs = 1700000000000LL;

kv830host::RoundPtr round_of(unsigned data_id) {
    auto r = std::make_shared<kv830host::Round>();
    r->data_id = data_id;
    r->completed = true;
    r->end_unix_ms = kNowMs - 1000;
    for (std::size_t i = 0; i < r->record.size(); ++i) {
        r->record[i] = static_cast<unsigned char>(i * 37U);
    }
    return r;
}

WriteOutcome outcome_of(std::uint8_t choice) {
    WriteOutcome o;
    o.kind = static_cast<WriteOutcome::Kind>(choice % 5U);
    o.refusal = static_cast<kv830host::WriteRefusal>((choice / 5U) % 8U);
    o.exception = choice / 40;
    return o;
}

// Walks the replies out of the session; aborts on one that is not a well-formed frame.
void check_replies(ClientSession& session) {
    const std::uint8_t* p = session.output();
    const std::size_t size = session.output_size();
    std::size_t at = 0;
    while (at < size) {
        if (size - at < kv830cli::kMbapHeaderSize + 1 || kv830cli::be16_at(p + at + 2) != 0) {
            std::abort();
        }
        const std::size_t length = kv830cli::be16_at(p + at + 4);
        if (length < 3 || at + kv830cli::kMbapUnitAt + length > size) {
            std::abort();
        }
        const std::uint8_t* pdu = p + at + kv830cli::kMbapHeaderSize;
        const std::size_t pdu_size = length - 1;
        const bool read =
            pdu[0] == kv830cli::kFnReadInputBits || pdu[0] == kv830cli::kFnReadHoldingRegisters;
        const bool write = pdu[0] == kv830cli::kFnWriteSingleRegister ||
                           pdu[0] == kv830cli::kFnWriteMultipleRegisters;
        const bool ok = (pdu[0] & kv830cli::kExceptionFlag) != 0 ? pdu_size == 2 && pdu[1] != 0
                        : read                                   ? pdu_size == 2U + pdu[1]
                                                                 : write && pdu_size == 5;
        if (!ok) {
            std::abort();
        }
        at += kv830cli::kMbapUnitAt + length;
    }
    session.sent(size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kv830host::LastRounds rounds({
        {1, 1},
        {2, 7}
    });
    rounds.on_round(round_of(1));
    kv830host::ServerCounters counters;
    auto session = std::make_unique<ClientSession>(rounds, true, counters);
    session->open("modbus fuzz");
    const auto now = ClientSession::Clock::now();
    std::size_t at = 0;
    while (at < size) {
        const std::size_t piece = 1U + data[at++] % 64U;
        const std::size_t n = std::min({piece, size - at, session->input_room()});
        std::memcpy(session->input_space(), data + at, n);
        session->received(n);
        at += n;
        do {
            const ClientSession::Step step = session->serve(kNowMs, now);
            check_replies(*session);
            if (step == ClientSession::Step::Close) {
                return 0;
            }
            if (step == ClientSession::Step::Write) {
                const kv830host::RemoteWrite write = session->take_write();
                if (write.command.values.empty() || write.command.values.size() > 123 ||
                    write.source != "modbus fuzz") {
                    std::abort();
                }
                session->write_done(outcome_of(at < size ? data[at] : 0), now);
            }
        } while (session->has_request());
        if (session->input_room() == 0) {
            std::abort();  // a full input that holds no whole request would stall the client
        }
    }
    return 0;
}
