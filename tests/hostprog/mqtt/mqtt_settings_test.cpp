#include "mqtt_settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <limits>

#include "broker.h"
#include "option_table.h"

namespace {

using kv830host::check_mqtt_settings;
using kv830host::MqttConfig;
using kv830host::MqttSettings;

bool parse(MqttSettings& s, std::vector<const char*> args, std::string& error) {
    args.insert(args.begin(), "kv830-host");
    std::vector<std::string> positional;
    return kv830cli::parse_command_line(kv830host::mqtt_options(s), static_cast<int>(args.size()),
                                        args.data(), positional, error);
}

// A file only its owner reads, as a secret's file must be.
std::string secret_file(const mqtttest::TempDir& dir, const std::string& name,
                        const std::string& text) {
    const std::string path = dir.path() + "/" + name;
    std::ofstream(path) << text;
    ::chmod(path.c_str(), 0600);
    return path;
}

TEST(MqttSettings, DefaultsFollowTheDataIdNodeAndInterval) {
    MqttSettings s;
    std::string error;
    ASSERT_TRUE(parse(s, {"--mqtt", "mqtt://broker"}, error)) << error;
    MqttConfig c;
    ASSERT_TRUE(check_mqtt_settings(s, 7, 2.0, "gw1", c, error)) << error;
    EXPECT_EQ(c.client_id, "kv830-gw1-7");
    EXPECT_EQ(c.prefix, "kv830/7");
    EXPECT_EQ(c.keepalive_s, 30);
    EXPECT_FALSE(c.retain);
    EXPECT_FALSE(c.writes);
    EXPECT_EQ(c.queue_bytes, kv830host::kMqttQueueDefaultBytes);
    EXPECT_EQ(c.queue_rounds, std::numeric_limits<std::size_t>::max());
    EXPECT_EQ(c.flush_timeout_s, kv830host::kMqttFlushTimeoutDefaultS);
    EXPECT_EQ(c.replay_rate, kv830host::kMqttReplayRateDefault);
    EXPECT_FALSE(c.ha_discovery);
    EXPECT_EQ(c.ha_prefix, "homeassistant");
    EXPECT_EQ(c.expire_after_s, 60);
    EXPECT_EQ(c.broker.host, "broker");
}

TEST(MqttSettings, EveryOptionReachesTheConfiguration) {
    MqttSettings s;
    std::string error;
    ASSERT_TRUE(parse(s,
                      {"--mqtt", "mqtts://u@b:8884", "--mqtt-topic", "site/a", "--mqtt-keepalive",
                       "12", "--mqtt-retain", "--mqtt-writes", "--mqtt-queue", "5m",
                       "--ha-discovery", "--ha-prefix", "ha", "--mqtt-client-id", "gw-{data_id}",
                       "--mqtt-flush-timeout", "1500ms", "--mqtt-replay-rate", "40"},
                      error))
        << error;
    MqttConfig c;
    ASSERT_TRUE(check_mqtt_settings(s, 1, 30.0, "gw", c, error)) << error;
    EXPECT_TRUE(c.broker.tls);
    EXPECT_EQ(c.prefix, "site/a");
    EXPECT_EQ(c.keepalive_s, 12);
    EXPECT_TRUE(c.retain);
    EXPECT_TRUE(c.writes);
    EXPECT_EQ(c.queue_rounds, 10U);  // 300 s at 30 s
    EXPECT_EQ(c.client_id, "gw-1");
    EXPECT_EQ(c.flush_timeout_s, 1.5);
    EXPECT_EQ(c.replay_rate, 40U);
    EXPECT_TRUE(c.ha_discovery);
    EXPECT_EQ(c.ha_prefix, "ha");
    EXPECT_EQ(c.expire_after_s, 90);
}

TEST(MqttSettings, QueueBoundAsCyclesDurationOrSize) {
    constexpr std::size_t kAny = std::numeric_limits<std::size_t>::max();
    constexpr std::size_t kDefault = kv830host::kMqttQueueDefaultBytes;
    struct Row {
        const char* text;
        double interval;
        std::size_t cycles;
        std::size_t bytes;
    };
    const Row rows[] = {
        {"1",      1.0, 1,    kDefault  },
        {"50",     0.5, 50,   kDefault  },
        {"600s",   2.0, 300,  kDefault  },
        {"10m",    1.0, 600,  kDefault  },
        {"1h",     7.0, 515,  kDefault  },
        {"512KiB", 1.0, kAny, 512U << 10},
        {"64MiB",  0.1, kAny, 64U << 20 },
        {"1GiB",   1.0, kAny, 1U << 30  },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        MqttSettings s;
        std::string error;
        ASSERT_TRUE(parse(s, {"--mqtt", "mqtt://b", "--mqtt-queue", row.text}, error)) << error;
        MqttConfig c;
        ASSERT_TRUE(check_mqtt_settings(s, 1, row.interval, "h", c, error)) << error;
        EXPECT_EQ(c.queue_rounds, row.cycles);
        EXPECT_EQ(c.queue_bytes, row.bytes);
    }
}

TEST(MqttSettings, RefusesBadValuesOnTheCommandLine) {
    struct Row {
        std::vector<const char*> args;
        const char* reason;
    };
    const Row rows[] = {
        {{"--mqtt", "tcp://b"},         "is not mqtt://"                  },
        {{"--mqtt", "mqtt://b:99999"},  "1 to 65535"                      },
        {{"--mqtt-keepalive", "4"},     "from 5 to 65535"                 },
        {{"--mqtt-keepalive", "x"},     "from 5 to 65535"                 },
        {{"--mqtt-queue", "0"},         "number of cycles"                },
        {{"--mqtt-queue", "10x"},       "number of cycles"                },
        {{"--mqtt-queue", "-5m"},       "number of cycles"                },
        {{"--mqtt-queue", "100001"},    "about 1.62 GiB at 17 KiB a cycle"},
        {{"--mqtt-queue", "16M"},       "or a size"                       },
        {{"--mqtt-queue", "16MB"},      "not a size"                      },
        {{"--mqtt-queue", "4KiB"},      "outside 64 KiB to 1 GiB"         },
        {{"--mqtt-queue", "2GiB"},      "outside 64 KiB to 1 GiB"         },
        {{"--mqtt-flush-timeout", "x"}, "needs 0 to 600s"                 },
        {{"--mqtt-replay-rate", "0"},   "from 1 to 10000"                 },
        {{"--mqtt-topic", "a/#"},       "wildcard"                        },
        {{"--mqtt-topic", "a/+/b"},     "wildcard"                        },
        {{"--mqtt-topic", "/a"},        "starts with"                     },
        {{"--mqtt-topic", "a/"},        "ends with"                       },
        {{"--mqtt-topic", "$SYS"},      "starts with"                     },
        {{"--ha-prefix", "ha/#"},       "wildcard"                        },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args.front() + std::string(" ") + row.args.back());
        MqttSettings s;
        std::string error;
        EXPECT_FALSE(parse(s, row.args, error));
        EXPECT_NE(error.find(row.reason), std::string::npos) << error;
        // The option table names the option once.
        EXPECT_EQ(error.find(std::string(row.args.front()) + ": " + row.args.front()),
                  std::string::npos)
            << error;
    }
}

TEST(MqttSettings, RefusesAtStartWhatOnlyTheWholeLineOrTheFilesTell) {
    mqtttest::TempDir dir;
    const std::string password = secret_file(dir, "password", "s3cret\n");
    const std::string two_lines = secret_file(dir, "two", "a\nb\n");
    const std::string empty = secret_file(dir, "empty", "");
    const std::string shown = dir.path() + "/shown";
    std::ofstream(shown) << "s3cret\n";
    ::chmod(shown.c_str(), 0644);
    const std::string der = dir.path() + "/ca.der";
    std::ofstream(der) << std::string("\x30\x82\x01\x0a", 4);
    const std::string missing = dir.path() + "/missing";
    struct Row {
        std::vector<const char*> args;
        const char* reason;
    };
    const Row rows[] = {
        {{"--mqtt-topic", "x"},                                                "--mqtt-topic needs --mqtt"  },
        {{"--ha-discovery"},                                                   "needs --mqtt"               },
        {{"--mqtt", "mqtt://b", "--ha-prefix", "ha"},                          "needs --ha-discovery"       },
        {{"--mqtt", "mqtt://b", "--mqtt-ca", password.c_str()},                "needs an mqtts:// URL"      },
        {{"--mqtt", "mqtts://b", "--mqtt-ca", missing.c_str()},                "cannot be read"             },
        {{"--mqtt", "mqtts://b", "--mqtt-ca", empty.c_str()},                  "empty"                      },
        {{"--mqtt", "mqtts://b", "--mqtt-ca", der.c_str()},                    "holds no PEM certificate"   },
        {{"--mqtt", "mqtt://u:p@b", "--mqtt-password-file", password.c_str()}, "one or the other"           },
        {{"--mqtt", "mqtt://b", "--mqtt-password-file", password.c_str()},     "names no user"              },
        {{"--mqtt", "mqtt://u@b", "--mqtt-password-file", missing.c_str()},    "No such file"               },
        {{"--mqtt", "mqtt://u@b", "--mqtt-password-file", two_lines.c_str()},  "one line"                   },
        {{"--mqtt", "mqtt://u@b", "--mqtt-password-file", empty.c_str()},      "empty"                      },
        {{"--mqtt", "mqtt://u@b", "--mqtt-password-file", shown.c_str()},
         "readable or writable by everyone"                                                                 },
        {{"--mqtt", "mqtt://u@b", "--mqtt-password-file", dir.path().c_str()},
         "not a regular file"                                                                               },
        {{"--mqtt", "mqtt://b", "--mqtt-queue", "1h"},                         "at most 16 MiB (963 cycles)"},
        {{"--mqtt", "mqtt://b", "--mqtt-client-id", "a b"},                    "holds a space"              },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reason);
        MqttSettings s;
        std::string error;
        ASSERT_TRUE(parse(s, row.args, error)) << error;
        MqttConfig c;
        c.prefix = "untouched";
        EXPECT_FALSE(check_mqtt_settings(s, 1, 0.01, "h", c, error));
        EXPECT_NE(error.find(row.reason), std::string::npos) << error;
        EXPECT_EQ(c.prefix, "untouched");
    }
}

TEST(MqttSettings, PasswordFileStaysOutOfTheUrl) {
    mqtttest::TempDir dir;
    const std::string password = secret_file(dir, "password", "p@ss:word\r\n");
    MqttSettings s;
    std::string error;
    ASSERT_TRUE(
        parse(s, {"--mqtt", "mqtt://plant@b", "--mqtt-password-file", password.c_str()}, error))
        << error;
    MqttConfig c;
    ASSERT_TRUE(check_mqtt_settings(s, 1, 1.0, "h", c, error)) << error;
    EXPECT_EQ(c.broker.user, "plant");
    EXPECT_TRUE(c.broker.has_password);
    EXPECT_EQ(c.broker.password, "p@ss:word");
}

TEST(MqttSettings, WithoutMqttNothingIsRequired) {
    MqttSettings s;
    MqttConfig c;
    std::string error;
    EXPECT_TRUE(check_mqtt_settings(s, 1, 1.0, "h", c, error)) << error;
    EXPECT_FALSE(kv830host::mqtt_enabled(s));
}

TEST(MqttSettings, HelpNamesEveryOption) {
    MqttSettings s;
    const std::string help = kv830cli::format_help(kv830host::mqtt_options(s), "usage", "");
    for (const char* name :
         {"--mqtt URL", "--mqtt-ca FILE", "--mqtt-password-file FILE", "--mqtt-topic PREFIX",
          "--mqtt-keepalive S", "--mqtt-retain", "--mqtt-writes", "--mqtt-queue N",
          "--ha-discovery", "--ha-prefix PREFIX", "--mqtt-client-id ID", "--mqtt-flush-timeout T",
          "--mqtt-replay-rate N"}) {
        SCOPED_TRACE(name);
        EXPECT_NE(help.find(name), std::string::npos) << help;
    }
}

}  // namespace
