// The JSON write command that every remote path takes (an MQTT message, an HTTP body):
// {"data_id":N, "register":N, "values":[...], "command_id":"..."}, data_id and command_id
// optional. One reader, so that every path refuses the same things with the same words.
#pragma once

#include <cstddef>
#include <string>

#include "remote_write.h"

namespace kv830host {

// A full 123-value command with a 64-character id is under 1 KiB.
constexpr std::size_t kWriteCommandMaxBytes = 4096;
// The command is one object holding one array: nothing deeper is a command.
constexpr int kWriteCommandMaxDepth = 2;
constexpr std::size_t kCommandIdMaxChars = 64;

// Reads `text` whole: one JSON object and nothing after it (a NUL byte included), the
// members above and no others, each of its type and range (register 0 to 65535, 1 to
// kMaxWriteRegisters values of 0 to 65535 not running past register 65535, data_id 0 to
// 4294967295, command_id 1 to 64 printable characters). On a refusal `error` says what is
// wrong and `out` keeps what was read, for the result message. Checks the form only: which
// registers may be written is the write policy's.
bool parse_write_command(const std::string& text, RemoteWrite& out, std::string& error);

}  // namespace kv830host
