#include "broker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace mqtttest {

namespace {

bool port_accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

struct LibraryUse {
    LibraryUse() { mosquitto_lib_init(); }
};

}  // namespace

int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = 0;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    const int port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kv830-mqtt-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) {
        path_ = pattern;
        // The broker may run as its own user when started by root.
        chmod(path_.c_str(), 0777);
    }
}

TempDir::~TempDir() {
    if (!path_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
}

bool make_certificate(const std::string& cert, const std::string& key) {
    const std::string command =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
        "-addext subjectAltName=IP:127.0.0.1 -keyout '" +
        key + "' -out '" + cert + "' >/dev/null 2>&1";
    // The test's own fixed command line with paths from its temporary folder.
    if (std::system(command.c_str()) != 0) {  // NOLINT(cert-env33-c)
        return false;
    }
    chmod(key.c_str(), 0644);
    return true;
}

Broker::Broker(int port, std::vector<Account> accounts, bool tls)
    : port_(port > 0 ? port : free_port()), accounts_(std::move(accounts)), tls_(tls) {}

Broker::~Broker() {
    stop();
}

std::string Broker::log() const {
    std::ifstream in(dir_.path() + "/broker.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Broker::start(std::string& error) {
    if (pid_ > 0) {
        return true;
    }
    if (dir_.path().empty() || port_ <= 0) {
        error = "no temporary folder or free port";
        return false;
    }
    const std::string conf = dir_.path() + "/broker.conf";
    {
        std::ofstream out(conf);
        out << "listener " << port_ << " 127.0.0.1\n";
        if (tls_) {
            out << "certfile " << dir_.path() << "/server.crt\n";
            out << "keyfile " << dir_.path() << "/server.key\n";
        }
        out << "persistence true\n";
        out << "persistence_location " << dir_.path() << "/\n";
        out << "max_queued_messages 100000\n";
        out << "log_dest stderr\n";
        out << "log_type error\nlog_type warning\nlog_type notice\n";
        if (accounts_.empty()) {
            out << "allow_anonymous true\n";
        } else {
            out << "allow_anonymous false\n";
            out << "password_file " << dir_.path() << "/passwords\n";
        }
    }
    if (tls_ && !std::filesystem::exists(ca_file()) &&
        !make_certificate(ca_file(), dir_.path() + "/server.key")) {
        error = "openssl could not make a certificate";
        return false;
    }
    if (!accounts_.empty()) {
        const std::string passwords = dir_.path() + "/passwords";
        bool first = true;
        for (const Account& account : accounts_) {
            const std::string command = std::string("mosquitto_passwd ") + (first ? "-c " : "") +
                                        "-b '" + passwords + "' '" + account.user + "' '" +
                                        account.password + "'";
            // The test's own accounts and temporary folder, run through the shell.
            if (std::system(command.c_str()) != 0) {  // NOLINT(cert-env33-c)
                error = "mosquitto_passwd failed";
                return false;
            }
            first = false;
        }
        chmod(passwords.c_str(), 0644);
    }
    const std::string log_path = dir_.path() + "/broker.log";
    const pid_t pid = fork();
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        const int fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        execl(KV830_MOSQUITTO, KV830_MOSQUITTO, "-c", conf.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    pid_ = pid;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            error = "mosquitto exited at start: " + log();
            return false;
        }
        if (port_accepts(port_)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop();
    error = "mosquitto did not accept connections within 10 s: " + log();
    return false;
}

void Broker::stop() {
    if (pid_ <= 0) {
        return;
    }
    kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
}

Subscriber::Subscriber(int port, std::string topic, std::string client_id, bool persistent)
    : port_(port),
      topic_(std::move(topic)),
      client_id_(std::move(client_id)),
      persistent_(persistent) {
    static LibraryUse use;
    mosq_ = mosquitto_new(client_id_.empty() ? nullptr : client_id_.c_str(), !persistent_, this);
    mosquitto_connect_callback_set(mosq_, &Subscriber::on_connect);
    mosquitto_subscribe_callback_set(mosq_, &Subscriber::on_subscribe);
    mosquitto_message_callback_set(mosq_, &Subscriber::on_message);
    mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
}

Subscriber::~Subscriber() {
    if (mosq_ != nullptr) {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, false);
        mosquitto_destroy(mosq_);
    }
}

void Subscriber::on_connect(mosquitto* mosq, void* self, int rc) {
    auto* s = static_cast<Subscriber*>(self);
    if (rc == 0) {
        mosquitto_subscribe(mosq, nullptr, s->topic_.c_str(), 1);
    }
}

void Subscriber::on_subscribe(mosquitto*, void* self, int, int, const int*) {
    auto* s = static_cast<Subscriber*>(self);
    const std::lock_guard<std::mutex> lock(s->mutex_);
    s->subscribed_ = true;
    s->changed_.notify_all();
}

void Subscriber::on_message(mosquitto*, void* self, const mosquitto_message* m) {
    auto* s = static_cast<Subscriber*>(self);
    Message message;
    message.arrived = std::chrono::steady_clock::now();
    message.topic = m->topic;
    message.payload.assign(static_cast<const char*>(m->payload),
                           static_cast<std::size_t>(m->payloadlen));
    message.retained = m->retain;
    const std::lock_guard<std::mutex> lock(s->mutex_);
    s->messages_.push_back(std::move(message));
    s->changed_.notify_all();
}

bool Subscriber::connect(std::string& error) {
    int rc = mosquitto_connect(mosq_, "127.0.0.1", port_, 60);
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_loop_start(mosq_);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        error = mosquitto_strerror(rc);
        return false;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::seconds(10), [this] { return subscribed_; })) {
        error = "no subscription acknowledgement";
        return false;
    }
    return true;
}

bool Subscriber::publish(const std::string& topic, const std::string& payload, bool retain) {
    return mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                             payload.data(), 1, retain) == MOSQ_ERR_SUCCESS;
}

std::vector<Message> Subscriber::messages() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

std::vector<Message> Subscriber::on(const std::string& topic) const {
    std::vector<Message> out;
    for (const Message& m : messages()) {
        if (m.topic == topic) {
            out.push_back(m);
        }
    }
    return out;
}

bool Subscriber::wait_for(const std::function<bool(const std::vector<Message>&)>& done,
                          std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done(messages_); });
}

bool Subscriber::wait_count(const std::string& topic, std::size_t count,
                            std::chrono::milliseconds timeout) const {
    return wait_for(
        [&](const std::vector<Message>& all) {
            std::size_t n = 0;
            for (const Message& m : all) {
                n += m.topic == topic ? 1U : 0U;
            }
            return n >= count;
        },
        timeout);
}

}  // namespace mqtttest
