// The general compressor behind the history's blocks and summaries: zstd. At level 3 it
// packs a block of rounds as tightly as zlib at level 9 (about 38 bytes a round of the
// plant model at one round a second, 60 rounds a block) in a tenth of the time, and
// unpacks it two to three times faster, which is what export and short trends spend; lz4
// unpacks faster still but stores 30 to 50 % more, days of history within the size cap.
// libzstd1, like zlib1g, is on every Debian system (dpkg needs both).
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace kv830host {

class Compressor {
  public:
    Compressor();
    ~Compressor();
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;

    // Replaces `out` with the compressed form of `size` bytes at `data`.
    void compress(const unsigned char* data, std::size_t size, std::vector<unsigned char>& out);

    // Replaces `out` with what `blob` holds. False when it is not one whole frame of
    // compressed data, or would unpack to more than `limit` bytes: a stored blob is bad
    // input until it has unpacked.
    bool decompress(const unsigned char* blob, std::size_t size, std::size_t limit,
                    std::vector<unsigned char>& out);

    // Gives the contexts' memory back until the next call. The writer packs once a
    // commit, a minute apart by default: holding the packing context's half a mebibyte
    // between commits would be a twentieth of a small gateway's budget.
    void release();

  private:
    struct Contexts;
    std::unique_ptr<Contexts> contexts_;  // made at first use, kept until release()
};

}  // namespace kv830host
