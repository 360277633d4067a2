// Serial line parameters as both ends of the line spell and time them.
#pragma once

#include <string>

namespace kv830cli {

// Parity from "N", "E", "O", "none", "even", "odd" (any case); 0 when unknown.
char parse_parity(const std::string& text);

// True for the rates a serial line can be set to (the termios rates from 50 to 4000000).
bool is_line_baud(int baud);

// Bits on the wire for one character: start, data, parity and stop bits.
int char_bits(int data_bits, char parity, int stop_bits);

// Nanoseconds that `chars` characters take on the line.
long long line_time_ns(long long chars, int baud, int bits_per_char);

// The silence that ends a Modbus RTU frame: 3.5 character times, and a fixed 1.75 ms
// above 19200 baud where the character time would be too short to measure.
long long rtu_silence_ns(int baud, int bits_per_char);

}  // namespace kv830cli
