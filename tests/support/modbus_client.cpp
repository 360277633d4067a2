#include "modbus_client.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace testproc {

namespace {

constexpr std::size_t kMbapHeader = 7;
constexpr std::size_t kMaxAdu = 260;

}  // namespace

RawModbusClient::RawModbusClient(int port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const timeval limit{3, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

RawModbusClient::~RawModbusClient() {
    ::close(fd_);
}

RawModbusClient::Bytes RawModbusClient::ask(std::uint8_t unit, const Bytes& pdu,
                                            std::uint16_t transaction) {
    Bytes adu(kMbapHeader + pdu.size());
    adu[0] = static_cast<std::uint8_t>(transaction >> 8);
    adu[1] = static_cast<std::uint8_t>(transaction & 0xFF);
    adu[5] = static_cast<std::uint8_t>(pdu.size() + 1);
    adu[6] = unit;
    std::copy(pdu.begin(), pdu.end(), adu.begin() + kMbapHeader);
    return send_raw(adu);
}

RawModbusClient::Bytes RawModbusClient::send_raw(const Bytes& adu) {
    Bytes reply(kMaxAdu);
    if (!connected_ || ::send(fd_, adu.data(), adu.size(), MSG_NOSIGNAL) < 0) {
        return {};
    }
    std::size_t got = 0;
    while (got < kMbapHeader || got < 6U + reply[5]) {
        const ssize_t n = ::recv(fd_, reply.data() + got, reply.size() - got, 0);
        if (n <= 0) {
            return {};
        }
        got += static_cast<std::size_t>(n);
    }
    // A reply to another transaction is no reply to this one.
    if (adu.size() < 2 || reply[0] != adu[0] || reply[1] != adu[1]) {
        return {};
    }
    return {reply.begin() + kMbapHeader, reply.begin() + static_cast<long>(got)};
}

}  // namespace testproc
