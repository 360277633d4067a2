// What the plant controller device and its host agree on beyond the framework itself:
// the record type the device publishes, the request codes it serves, the outcomes of a
// register write and the Modbus limits it keeps to. It needs no host header, so the host
// program includes this one copy instead of restating it.
#pragma once

namespace kv830 {

// Record type of the published and stored record.
constexpr int kRecordType = 5156;
// The record's size: an external format (published, stored, loaded from the cache).
constexpr unsigned kRecordSize = 576;

// Data this many whole seconds old or older counts as timed out.
constexpr long long kStaleAfterSeconds = 61;

// The snapshot document's member that holds the time of the round it shows.
constexpr const char* kUpdateTimeKey = "更新时间";

// Limits of one Modbus request (read holding registers, read discrete inputs, write
// multiple registers): what fits in one frame.
constexpr int kMaxReadRegisters = 125;
constexpr int kMaxReadBits = 2000;
constexpr int kMaxWriteRegisters = 123;

// The Modbus address space of holding registers: a write may not run past its end.
constexpr int kRegisterSpace = 0x10000;

}  // namespace kv830

// Request codes of DeviceIoControl that the device serves itself.
enum KV830Request {
    KV830_WRITE_REGISTER = 206,
    KV830_WRITE_REGISTERS = 210,
    KV830_SIGNAL_REQUEST = 310,
    KV830_MODE_SIGNAL_REQUEST = 320,
    KV830_SNAPSHOT_TEXT = 801,
    KV830_SNAPSHOT_VALUE = 803,
    // Any code not listed above reads the outcome of the last write back; this is the one
    // the host program uses.
    KV830_WRITE_RESULT = 100,
};

// Outcome of the last register write, as the readback reports it.
enum KV830WriteResult {
    KV830_WRITE_PENDING = -1,
    KV830_WRITE_CONFIRMED = 1,
    KV830_WRITE_NOT_CONFIRMED = 3,
};
