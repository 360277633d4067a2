// Reads back from the history, on a thread of its own, the rounds that the memory queue no
// longer holds, so that the publisher's network thread never waits on the file (a commit
// of the history holds it for a moment, another program's lock for longer).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "round_archive.h"

namespace kv830host {

class ReplayReader {
  public:
    // `ready` is called from the reader's thread once a batch has been read.
    ReplayReader(RoundArchive& archive, unsigned data_id, std::function<void()> ready);
    ~ReplayReader();
    ReplayReader(const ReplayReader&) = delete;
    ReplayReader& operator=(const ReplayReader&) = delete;

    void start();
    void stop();  // idempotent; a read under way ends first

    // Asks for the rounds with after_ms < time <= until_ms, at most `max_rounds`. False
    // (and nothing asked) while a batch is asked for or waits to be taken.
    bool ask(std::int64_t after_ms, std::int64_t until_ms, std::size_t max_rounds);
    // The batch asked for, once read: true with `out` filled, or with `error` set when the
    // file could not be read.
    bool take(StoredBatch& out, std::string& error);

  private:
    void run();

    RoundArchive& archive_;
    const unsigned data_id_;
    const std::function<void()> ready_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::thread thread_;
    bool stopping_ = false;
    bool asked_ = false;
    bool done_ = false;
    std::int64_t after_ms_ = 0;
    std::int64_t until_ms_ = 0;
    std::size_t max_rounds_ = 0;
    StoredBatch batch_;
    std::string error_;
};

}  // namespace kv830host
