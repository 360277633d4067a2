// A publisher's connection to its broker, on the publisher's network thread: a fresh
// client per attempt, the wait before the next one (longer after a refused login, longer
// still while another client holds our session), MQTT 3.1.1 for a broker that does not
// speak 5, and a poll over the socket and one descriptor of the owner's. What happens is
// told through MqttSessionEvents; what the session says of itself (lost, refused, taken
// over) goes to the log and to note().
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>

#include "mqtt_settings.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

namespace kv830host {

class MqttSessionEvents {
  public:
    // The first three are called from inside the client library's reading, which holds
    // its callback lock then: a publish or subscribe there would take the library's
    // message locks under it, the reverse of the order its own reading and writing take
    // them in. What they want sent waits for ready().

    // The broker accepted the connection.
    virtual void connected() = 0;
    // The broker has message `mid`; a reason code of 0x80 or above says it refused it.
    virtual void acknowledged(int mid, int reason_code) = 0;
    virtual void message(const std::string& topic, const std::string& payload, bool retained) = 0;

    // The owner's descriptor was readable.
    virtual void woken() = 0;
    // The library's reading and writing have returned and the connection holds: the
    // place to publish and subscribe what the callbacks asked for.
    virtual void ready() = 0;
    // The client is gone, after a connection or a failed attempt: nothing sent and not
    // acknowledged will be.
    virtual void closed() = 0;

  protected:
    ~MqttSessionEvents() = default;
};

class MqttSession {
  public:
    using Log = std::function<void(const std::string&)>;

    // The will is sent by the broker when the connection breaks. `wake_fd` is polled
    // beside the socket. `config`, `events` and `log` must outlive the session.
    MqttSession(const MqttConfig& config, std::string will_topic, std::string will_payload,
                int wake_fd, MqttSessionEvents& events, const Log& log);
    ~MqttSession();
    MqttSession(const MqttSession&) = delete;
    MqttSession& operator=(const MqttSession&) = delete;

    // Once before the first session of the process.
    static void use_library();
    // What a reason code of the broker's means.
    static std::string reason_text(int reason_code);

    // The network thread only, from here on.
    bool has_client() const { return mosq_ != nullptr; }
    bool attempt_due() const;
    int ms_to_attempt() const;
    // Starts an attempt; false when it cannot even start (close() says why).
    bool open();
    // Ends the client after a loss or a failed attempt, says why once, and sets when the
    // next attempt is due.
    void close();
    // The next attempt within `s` seconds at the latest.
    void retry_within(double s);
    // Waits up to `timeout_ms` for the socket or the wake-up descriptor and lets the
    // library read, write and keep the connection alive.
    void poll(int timeout_ms);
    // After a connection has lasted, the take-over wait starts again from its minimum.
    void check_steady();
    bool publish(const std::string& topic, const void* data, std::size_t size, bool retain,
                 int* mid);
    void subscribe(const std::string& topic);
    // A clean disconnect, which the broker answers without the will.
    void disconnect();
    // Gone for good: the client is destroyed without a word.
    void end();

    bool connected() const { return connected_; }
    bool lost() const { return lost_; }
    bool up() const { return connected_ && !lost_; }
    // Counts the connections: a message sent in one is not sent in it again.
    unsigned long long generation() const { return generation_; }
    unsigned long long attempts() const { return attempts_; }

    // Any thread.
    const std::atomic<bool>& connected_now() const { return connected_flag_; }
    bool taken_over() const { return taken_over_flag_.load(); }
    unsigned long long takeovers() const { return takeovers_.load(); }
    unsigned long long reconnects() const { return reconnects_.load(); }
    std::string note() const;

  private:
    using Clock = std::chrono::steady_clock;

    // Why the last connection ended, for what is said and how long to wait.
    enum class Loss {
        Unreachable,  // no connection, or it broke
        Refused,      // the broker refused the login
        TakenOver,    // another client connected with our id
        OldProtocol,  // the broker does not speak MQTT 5
    };

    int configure_client();
    void refused(int rc);
    void accepted();
    void note_loop_error(int rc);
    void detect_takeover(Clock::time_point now);
    double delay_after_loss(bool was_connected);
    std::string broker_name() const;
    void set_note(const std::string& text);

    static void on_connect(mosquitto*, void* self, int rc, int flags, const mqtt5__property*);
    static void on_disconnect(mosquitto*, void* self, int rc, const mqtt5__property*);
    static void on_publish(mosquitto*, void* self, int mid, int reason_code,
                           const mqtt5__property*);
    static void on_message(mosquitto*, void* self, const mosquitto_message* message);

    const MqttConfig& config_;
    const std::string will_topic_;
    const std::string will_payload_;
    const int wake_fd_;
    MqttSessionEvents& events_;
    const Log& log_;

    std::atomic<bool> connected_flag_{false};
    std::atomic<bool> taken_over_flag_{false};
    std::atomic<unsigned long long> takeovers_{0};
    std::atomic<unsigned long long> reconnects_{0};
    mutable std::mutex note_mutex_;
    std::string note_;

    // Network thread only.
    mosquitto* mosq_ = nullptr;
    int protocol_;
    Loss loss_ = Loss::Unreachable;
    std::string lost_reason_;
    std::string told_reason_;  // the last reason said for an absence, not said again
    unsigned long long generation_ = 0;
    unsigned long long attempts_ = 0;
    double backoff_s_ = 0.0;
    double takeover_backoff_s_ = 0.0;
    int short_sessions_ = 0;
    Clock::time_point next_attempt_{};
    Clock::time_point attempt_started_{};
    Clock::time_point connected_at_{};
    bool connected_ = false;
    bool lost_ = false;
};

}  // namespace kv830host
