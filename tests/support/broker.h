// A real mosquitto broker on a free loopback port, started and stopped by a test, and a
// subscriber that records what arrives.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace mqtttest {

// A port on 127.0.0.1 that nothing listens on (bound and released).
int free_port();

// Makes a self-signed certificate for 127.0.0.1 and its key; false when openssl fails.
bool make_certificate(const std::string& cert, const std::string& key);

// A folder removed with everything in it when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

class Broker {
  public:
    struct Account {
        std::string user;
        std::string password;
    };
    // Anonymous clients unless `accounts` is given; then only those may connect. With
    // `tls` the listener speaks TLS only, with a self-signed certificate for 127.0.0.1
    // (ca_file()).
    explicit Broker(int port = 0, std::vector<Account> accounts = {}, bool tls = false);
    ~Broker();
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    // Starts mosquitto and waits (bounded) until it accepts connections.
    bool start(std::string& error);
    void stop();  // SIGTERM, then SIGKILL when it lingers; its sessions are saved to disk
    int port() const { return port_; }
    std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
    std::string log() const;
    std::string ca_file() const { return dir_.path() + "/server.crt"; }

  private:
    int port_;
    std::vector<Account> accounts_;
    bool tls_;
    TempDir dir_;
    pid_t pid_ = -1;
};

struct Message {
    std::string topic;
    std::string payload;
    bool retained = false;
    std::chrono::steady_clock::time_point arrived;
};

// A libmosquitto client on the library's own thread (the test side may use it). With a
// fixed client id and `persistent`, the broker keeps its subscription and its QoS 1
// messages across the subscriber's and the broker's restarts.
class Subscriber {
  public:
    Subscriber(int port, std::string topic, std::string client_id = "", bool persistent = false);
    ~Subscriber();
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;

    bool connect(std::string& error);  // connects and waits for the subscription
    bool publish(const std::string& topic, const std::string& payload, bool retain = false);

    std::vector<Message> messages() const;
    std::vector<Message> on(const std::string& topic) const;
    // Waits until `done` holds for the messages so far, or the timeout. `done` runs under
    // the subscriber's lock: it must look only at what it is given.
    bool wait_for(const std::function<bool(const std::vector<Message>&)>& done,
                  std::chrono::milliseconds timeout) const;
    bool wait_count(const std::string& topic, std::size_t count,
                    std::chrono::milliseconds timeout) const;

  private:
    static void on_connect(mosquitto*, void*, int);
    static void on_subscribe(mosquitto*, void*, int, int, const int*);
    static void on_message(mosquitto*, void*, const mosquitto_message*);

    int port_;
    std::string topic_;
    std::string client_id_;
    bool persistent_;
    mosquitto* mosq_ = nullptr;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Message> messages_;
    bool subscribed_ = false;
};

}  // namespace mqtttest
