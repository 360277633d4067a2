// Telling a service manager how the program is doing, without linking its library: the
// notification protocol is one datagram per message to the socket named in
// $NOTIFY_SOCKET (a path, or an abstract name written with a leading '@').
#pragma once

#include <string>

namespace kv830host {

class ServiceNotifier {
  public:
    // Reads $NOTIFY_SOCKET; without it every call does nothing.
    ServiceNotifier();
    explicit ServiceNotifier(const std::string& socket_name);
    ~ServiceNotifier();
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    bool enabled() const { return fd_ >= 0; }
    // Sends one message ("READY=1", "WATCHDOG=1", "STOPPING=1", "STATUS=..."); false
    // when it could not be sent (or notification is off).
    bool notify(const std::string& message);

  private:
    void open_socket(const std::string& socket_name);

    int fd_ = -1;
    std::string address_;  // the sockaddr_un path bytes, '\0' first for an abstract name
};

}  // namespace kv830host
