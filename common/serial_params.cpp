#include "serial_params.h"

#include <algorithm>
#include <cctype>
#include <iterator>

namespace kv830cli {

namespace {

// The rates termios names (B50 ... B4000000); anything else cannot be set on the line.
constexpr int kLineBauds[] = {50,      75,      110,     134,     150,     200,    300,     600,
                              1200,    1800,    2400,    4800,    9600,    19200,  38400,   57600,
                              115200,  230400,  460800,  500000,  576000,  921600, 1000000, 1152000,
                              1500000, 2000000, 2500000, 3000000, 3500000, 4000000};

constexpr int kSilenceFixedAbove = 19200;
constexpr long long kSilenceFixedNs = 1750000;

struct ParityName {
    const char* name;
    char parity;
};
constexpr ParityName kParityNames[] = {
    {"n",    'N'},
    {"none", 'N'},
    {"e",    'E'},
    {"even", 'E'},
    {"o",    'O'},
    {"odd",  'O'},
};

}  // namespace

char parse_parity(const std::string& text) {
    std::string t(text.size(), '\0');
    std::transform(text.begin(), text.end(), t.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const ParityName& p : kParityNames) {
        if (t == p.name) {
            return p.parity;
        }
    }
    return 0;
}

bool is_line_baud(int baud) {
    return std::find(std::begin(kLineBauds), std::end(kLineBauds), baud) != std::end(kLineBauds);
}

int char_bits(int data_bits, char parity, int stop_bits) {
    return 1 + data_bits + (parity == 'N' ? 0 : 1) + stop_bits;
}

long long line_time_ns(long long chars, int baud, int bits_per_char) {
    if (baud <= 0) {
        return 0;
    }
    return chars * bits_per_char * 1000000000LL / baud;
}

long long rtu_silence_ns(int baud, int bits_per_char) {
    if (baud <= 0 || baud > kSilenceFixedAbove) {
        return kSilenceFixedNs;
    }
    return 35LL * bits_per_char * 100000000LL / baud;
}

}  // namespace kv830cli
