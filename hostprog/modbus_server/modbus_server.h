// The Modbus TCP server: an output that answers clients from the devices' last rounds, so
// that a SCADA, a panel and an engineer's laptop read the plant without one more request on
// its line. One thread of its own polls the listening socket and every client's.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client_session.h"
#include "last_rounds.h"
#include "output.h"

namespace kv830host {

struct ModbusServerConfig {
    std::string host = "127.0.0.1";
    int port = 0;
    bool writes = false;
    std::size_t max_clients = 32;
    std::chrono::seconds idle{60};
    std::vector<ServedDevice> devices;
};

class ModbusServer : public Output {
  public:
    // `writes` is needed with config.writes; `status` may be null.
    ModbusServer(ModbusServerConfig config, StatusSink* status, RemoteWrites* writes);
    ~ModbusServer() override;
    ModbusServer(const ModbusServer&) = delete;
    ModbusServer& operator=(const ModbusServer&) = delete;

    bool start(std::string& error) override;
    void on_round(const RoundPtr& round) override { rounds_.on_round(round); }
    void describe_metrics(MetricsText& out) const override;
    void describe_status(Json::Value& out) const override;
    void stop() override;

    // Where it listens once started: "127.0.0.1:1502", "[::1]:1502".
    std::string address() const;

  private:
    struct Connection;
    struct Mailbox;

    void shut_down();
    void run();
    void accept_clients(std::chrono::steady_clock::time_point now);
    void receive(Connection& c, std::chrono::steady_clock::time_point now);
    void advance(Connection& c);
    void flush(Connection& c);
    void close(Connection& c, ServerCounters::Count* reason);
    void deliver_outcomes();
    int poll_timeout_ms(std::chrono::steady_clock::time_point now) const;

    const ModbusServerConfig config_;
    StatusSink* status_;
    RemoteWrites* writes_;
    LastRounds rounds_;
    ServerCounters counters_;
    int listener_ = -1;
    mutable std::mutex address_mutex_;  // the page asks from a thread of its own
    std::string address_;
    unsigned long long next_generation_ = 0;
    std::chrono::steady_clock::time_point accept_paused_until_{};
    std::shared_ptr<Mailbox> mailbox_;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace kv830host
