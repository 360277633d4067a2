#include "mqtt_session.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "mqtt_clock.h"

namespace kv830host {

namespace {

using mqtt_time::ms_until;
using mqtt_time::seconds;
using mqtt_time::seconds_between;

constexpr int kQos = 1;
// A close without a reason (MQTT 3.1.1, or a broker that gives none): a connection the
// broker closes this soon after accepting it, this many times in a row, is taken for
// another client using our id.
constexpr double kShortSessionS = 5.0;
constexpr int kShortSessionsTakenOver = 3;
// Writes a clean disconnect is given to leave.
constexpr int kDisconnectWrites = 10;

struct LibraryUse {
    LibraryUse() { mosquitto_lib_init(); }
    ~LibraryUse() { mosquitto_lib_cleanup(); }
};

// Doubles from `min` to `max`, starting at `min`.
double doubled(double current, double min, double max) {
    return current <= 0.0 ? min : std::min(max, current * 2.0);
}

std::string error_text(int rc) {
    return rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno))
                                : std::string(mosquitto_strerror(rc));
}

}  // namespace

MqttSession::MqttSession(const MqttConfig& config, std::string will_topic, std::string will_payload,
                         int wake_fd, MqttSessionEvents& events, const Log& log)
    : config_(config),
      will_topic_(std::move(will_topic)),
      will_payload_(std::move(will_payload)),
      wake_fd_(wake_fd),
      events_(events),
      log_(log),
      protocol_(MQTT_PROTOCOL_V5) {}

MqttSession::~MqttSession() {
    end();
}

void MqttSession::use_library() {
    static LibraryUse use;
}

std::string MqttSession::reason_text(int reason_code) {
    return mosquitto_reason_string(reason_code);
}

std::string MqttSession::note() const {
    const std::lock_guard<std::mutex> lock(note_mutex_);
    return note_;
}

void MqttSession::set_note(const std::string& text) {
    const std::lock_guard<std::mutex> lock(note_mutex_);
    note_ = text;
}

std::string MqttSession::broker_name() const {
    return config_.broker.host + ":" + std::to_string(config_.broker.port);
}

bool MqttSession::attempt_due() const {
    return Clock::now() >= next_attempt_;
}

int MqttSession::ms_to_attempt() const {
    return ms_until(next_attempt_);
}

void MqttSession::retry_within(double s) {
    next_attempt_ = std::min(next_attempt_, Clock::now() + seconds(s));
}

void MqttSession::on_connect(mosquitto*, void* self, int rc, int, const mosquitto_property*) {
    auto* session = static_cast<MqttSession*>(self);
    if (rc != 0) {
        session->refused(rc);
        return;
    }
    session->accepted();
}

void MqttSession::refused(int rc) {
    lost_ = true;
    if (protocol_ == MQTT_PROTOCOL_V5 &&
        (rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION || rc == CONNACK_REFUSED_PROTOCOL_VERSION)) {
        loss_ = Loss::OldProtocol;
        lost_reason_ = "the broker does not speak MQTT 5";
        return;
    }
    loss_ = Loss::Refused;
    lost_reason_ =
        protocol_ == MQTT_PROTOCOL_V5 ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc);
}

void MqttSession::accepted() {
    connected_ = true;
    connected_flag_ = true;
    connected_at_ = Clock::now();
    backoff_s_ = 0.0;
    ++generation_;
    told_reason_.clear();
    if (!taken_over_flag_) {
        set_note("");
    }
    events_.connected();
}

void MqttSession::on_disconnect(mosquitto*, void* self, int rc, const mosquitto_property*) {
    auto* session = static_cast<MqttSession*>(self);
    session->lost_ = true;
    if (rc == MQTT_RC_SESSION_TAKEN_OVER) {
        session->loss_ = Loss::TakenOver;
        session->lost_reason_ = "the broker gave it our session, reason 0x8E";
        return;
    }
    if (session->lost_reason_.empty()) {
        session->lost_reason_ =
            rc == 0 ? "disconnected"
                    : std::string("connection lost: ") +
                          (rc >= 0x80 ? mosquitto_reason_string(rc) : mosquitto_strerror(rc));
    }
}

void MqttSession::on_publish(mosquitto*, void* self, int mid, int reason_code,
                             const mosquitto_property*) {
    static_cast<MqttSession*>(self)->events_.acknowledged(mid, reason_code);
}

void MqttSession::on_message(mosquitto*, void* self, const mosquitto_message* message) {
    const std::string topic = message->topic != nullptr ? message->topic : "";
    const std::string payload(
        static_cast<const char*>(message->payload),
        message->payload != nullptr ? static_cast<std::size_t>(message->payloadlen) : 0U);
    static_cast<MqttSession*>(self)->events_.message(topic, payload, message->retain);
}

bool MqttSession::open() {
    ++attempts_;
    if (attempts_ > 1) {
        ++reconnects_;
    }
    lost_ = false;
    loss_ = Loss::Unreachable;
    lost_reason_.clear();
    // A fresh client per attempt: nothing of a failed connection (its half-sent packets,
    // its TLS state) carries over, and the owner's queue decides what is sent again.
    mosq_ = mosquitto_new(config_.client_id.c_str(), true, this);
    if (mosq_ == nullptr) {
        lost_reason_ = "cannot create the MQTT client";
        return false;
    }
    int rc = configure_client();
    if (rc == MOSQ_ERR_SUCCESS) {
        attempt_started_ = Clock::now();
        rc = mosquitto_connect_async(mosq_, config_.broker.host.c_str(), config_.broker.port,
                                     config_.keepalive_s);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        lost_reason_ = error_text(rc);
        if (rc == MOSQ_ERR_EAI) {
            lost_reason_ = "cannot resolve '" + config_.broker.host + "'";
        }
        return false;
    }
    return true;
}

int MqttSession::configure_client() {
    int rc = mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, protocol_);
    mosquitto_connect_v5_callback_set(mosq_, &MqttSession::on_connect);
    mosquitto_disconnect_v5_callback_set(mosq_, &MqttSession::on_disconnect);
    mosquitto_publish_v5_callback_set(mosq_, &MqttSession::on_publish);
    mosquitto_message_callback_set(mosq_, &MqttSession::on_message);
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_will_set(mosq_, will_topic_.c_str(), static_cast<int>(will_payload_.size()),
                                will_payload_.data(), kQos, true);
    }
    if (rc == MOSQ_ERR_SUCCESS && !config_.broker.user.empty()) {
        rc = mosquitto_username_pw_set(
            mosq_, config_.broker.user.c_str(),
            config_.broker.has_password ? config_.broker.password.c_str() : nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS && config_.broker.tls) {
        rc = mosquitto_tls_set(mosq_, config_.ca_file.empty() ? nullptr : config_.ca_file.c_str(),
                               config_.ca_file.empty() ? "/etc/ssl/certs" : nullptr, nullptr,
                               nullptr, nullptr);
    }
    return rc;
}

void MqttSession::close() {
    if (mosq_ != nullptr) {
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
    }
    const Clock::time_point now = Clock::now();
    const bool was_connected = connected_;
    if (was_connected && loss_ == Loss::Unreachable) {
        detect_takeover(now);
    }
    const double delay = delay_after_loss(was_connected);
    connected_ = false;
    connected_flag_ = false;
    events_.closed();
    next_attempt_ = now + seconds(delay);
}

// MQTT 3.1.1 says nothing of why the broker closed, nor does a broker of MQTT 5 that
// closes without a reason (mosquitto 2.0.11 does so on a take-over): several sessions in
// a row that end within seconds of being accepted are taken for a take-over.
void MqttSession::detect_takeover(Clock::time_point now) {
    short_sessions_ =
        seconds_between(connected_at_, now) < kShortSessionS ? short_sessions_ + 1 : 0;
    if (short_sessions_ >= kShortSessionsTakenOver) {
        loss_ = Loss::TakenOver;
        lost_reason_ = "the broker closed " + std::to_string(short_sessions_) +
                       " sessions in a row within " +
                       std::to_string(static_cast<int>(kShortSessionS)) + " s of accepting them";
        short_sessions_ = 0;
    }
}

double MqttSession::delay_after_loss(bool was_connected) {
    const std::string broker = broker_name();
    switch (loss_) {
        case Loss::TakenOver: {
            ++takeovers_;
            taken_over_flag_ = true;
            takeover_backoff_s_ = doubled(takeover_backoff_s_, config_.takeover_backoff_min_s,
                                          config_.takeover_backoff_max_s);
            const double delay = takeover_backoff_s_;
            set_note("mqtt: another client uses client id " + config_.client_id);
            log_("another client uses client id " + config_.client_id + " (" + lost_reason_ +
                 "); not taking the session back for " + std::to_string(static_cast<int>(delay)) +
                 " s, cycles are queued");
            return delay;
        }
        case Loss::OldProtocol:
            protocol_ = MQTT_PROTOCOL_V311;
            log_("broker " + broker +
                 " speaks MQTT 3.1.1 only: a session another client takes "
                 "over is recognised by " +
                 std::to_string(kShortSessionsTakenOver) + " closes within " +
                 std::to_string(static_cast<int>(kShortSessionS)) + " s of connecting");
            return 0.0;
        case Loss::Refused:
            backoff_s_ = doubled(backoff_s_, config_.backoff_min_s, config_.backoff_max_s);
            set_note("mqtt: the broker refused the login (" + lost_reason_ + ")");
            if (told_reason_ != lost_reason_) {
                log_("broker " + broker + " refused the login as " + config_.client_id + " (" +
                     lost_reason_ + "); retrying, cycles are queued");
            }
            told_reason_ = lost_reason_;
            return backoff_s_;
        case Loss::Unreachable:
            backoff_s_ = doubled(backoff_s_, config_.backoff_min_s, config_.backoff_max_s);
            if (was_connected || attempts_ == 1) {
                log_("broker " + broker + " not reachable (" + lost_reason_ +
                     "); retrying, cycles are queued");
            }
            if (!taken_over_flag_) {
                set_note("");
            }
            return backoff_s_;
    }
    return 0.0;
}

void MqttSession::poll(int timeout_ms) {
    pollfd fds[2] = {};
    fds[0].fd = wake_fd_;
    fds[0].events = POLLIN;
    nfds_t count = 1;
    if (mosq_ != nullptr && mosquitto_socket(mosq_) >= 0) {
        fds[1].fd = mosquitto_socket(mosq_);
        fds[1].events = static_cast<short>(POLLIN | (mosquitto_want_write(mosq_) ? POLLOUT : 0));
        count = 2;
    }
    const int n = ::poll(fds, count, timeout_ms);
    if (n > 0 && (fds[0].revents & POLLIN) != 0) {
        events_.woken();
    }
    if (mosq_ == nullptr) {
        return;
    }
    int rc = MOSQ_ERR_SUCCESS;
    if (count == 2 && (fds[1].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
        rc = mosquitto_loop_read(mosq_, 1);
    }
    if (rc == MOSQ_ERR_SUCCESS && mosq_ != nullptr && mosquitto_want_write(mosq_)) {
        rc = mosquitto_loop_write(mosq_, 1);
    }
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_loop_misc(mosq_);
    }
    if (rc == MOSQ_ERR_SUCCESS && up()) {
        events_.ready();
    }
    if (rc != MOSQ_ERR_SUCCESS && !lost_) {
        note_loop_error(rc);
    }
    if (!connected_ && !lost_ &&
        seconds_between(attempt_started_, Clock::now()) > config_.connect_timeout_s) {
        lost_ = true;
        lost_reason_ = "no answer from the broker";
    }
}

void MqttSession::note_loop_error(int rc) {
    lost_ = true;
    lost_reason_ = error_text(rc);
    // A broker of MQTT 3.1.1 answers a CONNECT of MQTT 5 with a reply the library cannot
    // read.
    if (!connected_ && protocol_ == MQTT_PROTOCOL_V5 &&
        (rc == MOSQ_ERR_PROTOCOL || rc == MOSQ_ERR_MALFORMED_PACKET)) {
        loss_ = Loss::OldProtocol;
    }
}

void MqttSession::check_steady() {
    if (up() && seconds_between(connected_at_, Clock::now()) >= config_.session_steady_s) {
        takeover_backoff_s_ = 0.0;
        short_sessions_ = 0;
        if (taken_over_flag_.exchange(false)) {
            set_note("");
        }
    }
}

bool MqttSession::publish(const std::string& topic, const void* data, std::size_t size, bool retain,
                          int* mid) {
    return mosquitto_publish(mosq_, mid, topic.c_str(), static_cast<int>(size), data, kQos,
                             retain) == MOSQ_ERR_SUCCESS;
}

void MqttSession::subscribe(const std::string& topic) {
    mosquitto_subscribe(mosq_, nullptr, topic.c_str(), kQos);
}

void MqttSession::disconnect() {
    if (mosq_ == nullptr || lost_) {
        return;
    }
    mosquitto_disconnect(mosq_);
    for (int i = 0; i < kDisconnectWrites && mosq_ != nullptr && mosquitto_want_write(mosq_); ++i) {
        mosquitto_loop_write(mosq_, 1);
    }
}

void MqttSession::end() {
    if (mosq_ != nullptr) {
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
    }
    connected_ = false;
    connected_flag_ = false;
}

}  // namespace kv830host
