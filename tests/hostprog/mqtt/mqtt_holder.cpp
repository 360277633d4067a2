// Holds one MQTT connection for the last-will test: connects as kv830-host would, says
// "connected" on stdout and waits to be killed.
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <string>
#include <thread>

#include "mqtt_publisher.h"
#include "mqtt_settings.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: mqtt_holder URL PREFIX KEEPALIVE\n";
        return 2;
    }
    kv830host::MqttSettings settings;
    settings.url = argv[1];
    settings.topic_prefix = argv[2];
    settings.keepalive_s = std::stoi(argv[3]);
    kv830host::MqttConfig config;
    std::string error;
    if (!kv830host::check_mqtt_settings(settings, 1, 1.0, "holder", config, error)) {
        std::cerr << error << "\n";
        return 2;
    }
    kv830host::MqttPublisher publisher(config);
    if (!publisher.start(error)) {
        std::cerr << error << "\n";
        return 1;
    }
    for (int i = 0; i < 1000 && !publisher.counters().connected; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::cout << (publisher.counters().connected ? "connected" : "not connected") << std::endl;
    for (;;) {
        pause();
    }
}
