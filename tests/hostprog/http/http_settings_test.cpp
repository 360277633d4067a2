// The --http options and the start check of the token file.
#include "http_settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "http_server.h"

namespace {

using kv830host::HttpSettings;

// Fields in the order a row of the table reads.
struct AddressRow {  // NOLINT(clang-analyzer-optin.performance.Padding)
    const char* text;
    bool ok;
    const char* address;
    int port;
    const char* url;  // as the start line names it
};

TEST(HttpAddress, FormsAndRefusals) {
    const AddressRow rows[] = {
        {"8080",           true,  "127.0.0.1",   8080,  "http://127.0.0.1:8080/" },
        {":8080",          true,  "127.0.0.1",   8080,  "http://127.0.0.1:8080/" },
        {"0.0.0.0:9100",   true,  "0.0.0.0",     9100,  "http://0.0.0.0:9100/"   },
        {"192.168.1.5:80", true,  "192.168.1.5", 80,    "http://192.168.1.5:80/" },
        {"[::1]:8080",     true,  "::1",         8080,  "http://[::1]:8080/"     },
        {"localhost:0",    true,  "localhost",   0,     "http://localhost:0/"    },
        {"65535",          true,  "127.0.0.1",   65535, "http://127.0.0.1:65535/"},
        {"65536",          false, "",            0,     ""                       },
        {"-1",             false, "",            0,     ""                       },
        {"0x50",           false, "",            0,     ""                       },
        {"http",           false, "",            0,     ""                       },
        {"1.2.3.4:",       false, "",            0,     ""                       },
        {"::1:8080",       false, "",            0,     ""                       },
        {"[::1]8080",      false, "",            0,     ""                       },
        {"[::1]",          false, "",            0,     ""                       },
        {"",               false, "",            0,     ""                       },
    };
    for (const AddressRow& row : rows) {
        SCOPED_TRACE(row.text);
        std::string address = "unchanged";
        int port = -7;
        std::string error;
        EXPECT_EQ(kv830host::parse_http_address(row.text, address, port, error), row.ok);
        if (row.ok) {
            EXPECT_EQ(address, row.address);
            EXPECT_EQ(port, row.port);
            EXPECT_EQ(kv830host::http_url(address, port), row.url);
        } else {
            EXPECT_FALSE(error.empty());
            EXPECT_EQ(address, "unchanged") << "a refused value must not half-apply";
        }
    }
}

TEST(HttpOptions, ParsedThroughTheOptionTable) {
    HttpSettings settings;
    const std::vector<kv830cli::Option> table = kv830host::http_options(settings);
    const char* argv[] = {"prog",    "--http", "0.0.0.0:9000", "--http-writes", "--http-token-file",
                          "/x/token"};
    std::vector<std::string> positional;
    std::string error;
    ASSERT_TRUE(kv830cli::parse_command_line(table, 6, argv, positional, error)) << error;
    EXPECT_TRUE(settings.enabled);
    EXPECT_EQ(settings.address, "0.0.0.0");
    EXPECT_EQ(settings.port, 9000);
    EXPECT_TRUE(settings.writes);
    EXPECT_EQ(settings.token_file, "/x/token");

    const std::string help = kv830cli::format_help(table, "usage", "");
    for (const char* name : {"--http", "--http-writes", "--http-token-file"}) {
        EXPECT_NE(help.find(name), std::string::npos) << name;
    }
}

TEST(HttpOptions, OffByDefault) {
    HttpSettings settings;
    const std::vector<kv830cli::Option> table = kv830host::http_options(settings);
    const char* argv[] = {"prog"};
    std::vector<std::string> positional;
    std::string error;
    ASSERT_TRUE(kv830cli::parse_command_line(table, 1, argv, positional, error));
    EXPECT_FALSE(settings.enabled);
    EXPECT_TRUE(kv830host::check_http_settings(settings, error)) << error;
}

class TokenFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kv830-token-XXXXXX";
        const int fd = ::mkstemp(pattern);
        const bool made = fd >= 0 && ::close(fd) == 0;
        ASSERT_TRUE(made);
        path_ = pattern;
    }
    void TearDown() override { (void)std::remove(path_.c_str()); }  // a test may not write it
    void write(const std::string& content, mode_t mode) {
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << content;
        ASSERT_EQ(::chmod(path_.c_str(), mode), 0);
    }
    std::string path_;
};

struct TokenRow {
    const char* name;
    const char* content;
    mode_t mode;
    bool ok;
    const char* token;
};

TEST_F(TokenFile, StartCheck) {
    const TokenRow rows[] = {
        {"owner only",     "0123456789abcdef0123\n",     0600, true,  "0123456789abcdef0123"},
        {"group may read", "0123456789abcdef0123",       0640, true,  "0123456789abcdef0123"},
        {"CRLF ending",    "0123456789abcdef0123\r\n",   0600, true,  "0123456789abcdef0123"},
        {"world readable", "0123456789abcdef0123\n",     0644, false, ""                    },
        {"world writable", "0123456789abcdef0123\n",     0602, false, ""                    },
        {"empty",          "",                           0600, false, ""                    },
        {"only a newline", "\n",                         0600, false, ""                    },
        {"too short",      "short\n",                    0600, false, ""                    },
        {"space inside",   "0123456789 abcdef0123\n",    0600, false, ""                    },
        {"two lines",      "0123456789abcdef\nsecond\n", 0600, false, ""                    },
        {"control byte",   "0123456789abcdef\x01\n",     0600, false, ""                    },
        {"too long",       nullptr,                      0600, false, ""                    },
    };
    for (const TokenRow& row : rows) {
        SCOPED_TRACE(row.name);
        write(row.content != nullptr ? row.content : std::string(5000, 'a'), row.mode);
        HttpSettings settings;
        settings.enabled = true;
        settings.writes = true;
        settings.token_file = path_;
        std::string error;
        EXPECT_EQ(kv830host::check_http_settings(settings, error), row.ok) << error;
        EXPECT_EQ(settings.token, row.token);
        if (!row.ok) {
            EXPECT_NE(error.find(path_), std::string::npos) << error;
        }
    }
}

TEST_F(TokenFile, CombinationsOfOptions) {
    write("0123456789abcdef0123\n", 0600);
    struct Row {
        const char* name;
        bool enabled, writes, with_file;
        bool ok;
    } const rows[] = {
        {"nothing",              false, false, false, true },
        {"http only",            true,  false, false, true },
        {"writes and token",     true,  true,  true,  true },
        {"writes without token", true,  true,  false, false},
        {"token without writes", true,  false, true,  false},
        {"writes without http",  false, true,  true,  false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        HttpSettings settings;
        settings.enabled = row.enabled;
        settings.writes = row.writes;
        settings.token_file = row.with_file ? path_ : "";
        std::string error;
        EXPECT_EQ(kv830host::check_http_settings(settings, error), row.ok) << error;
        EXPECT_EQ(error.empty(), row.ok);
    }
}

TEST_F(TokenFile, MissingOrNotAFile) {
    for (const char* path : {"/nonexistent/kv830/token", "/tmp"}) {
        SCOPED_TRACE(path);
        HttpSettings settings;
        settings.enabled = true;
        settings.writes = true;
        settings.token_file = path;
        std::string error;
        EXPECT_FALSE(kv830host::check_http_settings(settings, error));
        EXPECT_NE(error.find(path), std::string::npos) << error;
    }
}

TEST(SameToken, EqualOnlyWhenEqual) {
    const std::string expected = "0123456789abcdef0123";
    struct Row {
        std::string presented;
        bool same;
    } const rows[] = {
        {expected,                true },
        {"",                      false},
        {"0123456789abcdef012",   false},
        {"0123456789abcdef01234", false},
        {"1123456789abcdef0123",  false},
        {"0123456789abcdef0124",  false},
        {expected + expected,     false},
        {"0123",                  false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.presented);
        EXPECT_EQ(kv830host::same_token(row.presented, expected), row.same);
    }
    EXPECT_FALSE(kv830host::same_token("", "")) << "an empty token never opens writes";
}

}  // namespace
