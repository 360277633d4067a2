// A scripted Modbus TCP peer for the replies a real server cannot be made to give (busy,
// silence on an open connection). Its thread and connection end with the object.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace testproc {

// One connection at a time on 127.0.0.1; `answer` gets each request ADU (MBAP header
// included) and returns the bytes to send back, or nothing to stay silent.
class ScriptedTcpPeer {
  public:
    using Answer = std::function<std::vector<std::uint8_t>(const std::vector<std::uint8_t>&)>;
    explicit ScriptedTcpPeer(Answer answer, int port = 0);
    ~ScriptedTcpPeer();
    ScriptedTcpPeer(const ScriptedTcpPeer&) = delete;
    ScriptedTcpPeer& operator=(const ScriptedTcpPeer&) = delete;

    int port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    int requests() const { return requests_.load(); }
    // Stops listening; a connection already accepted stays open (and silent) until the
    // peer is destroyed.
    void stop_listening();

  private:
    void run();

    Answer answer_;
    std::atomic<int> listener_{-1};
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> listening_{true};
    std::atomic<int> requests_{0};
    std::thread thread_;
};

// The reply a Modbus TCP server would give: the request's MBAP with `pdu` as the body.
std::vector<std::uint8_t> tcp_reply(const std::vector<std::uint8_t>& request,
                                    const std::vector<std::uint8_t>& pdu);

}  // namespace testproc
