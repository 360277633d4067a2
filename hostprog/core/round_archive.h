// The rounds an output keeps on file, read back by an output that delivers them where the
// live rounds could not reach in time (MQTT's store and forward), with the mark of how
// far each consumer has got kept in the same file. The history implements it; a consumer
// finds it in OutputContext and never learns how the file is laid out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kv830host {

// A consumer's name as the file keeps it ("mqtt 10.0.0.5:1883").
constexpr std::size_t kConsumerNameMax = 200;

// One stored round as a consumer sends it on.
struct StoredSnapshot {
    std::int64_t unix_ms = 0;  // when the round ended
    // The device's snapshot text (request 801) of the stored record, as the device writes
    // it, with the round's own update time rather than the time it was read back.
    std::string snapshot;
};

struct StoredBatch {
    std::vector<StoredSnapshot> rounds;  // oldest first
    // The device's newest round on file (0: none). A consumer waiting for the rounds up to
    // a time learns from it whether more can still come with a later commit.
    std::int64_t stored_through_ms = 0;
};

struct DeliveryMark {
    bool found = false;        // false: the consumer has no mark for the device yet
    std::int64_t unix_ms = 0;  // every round up to this time was delivered
};

class RoundArchive {
  public:
    virtual ~RoundArchive() = default;

    virtual bool read_mark(const std::string& consumer, unsigned data_id, DeliveryMark& out,
                           std::string& error) = 0;
    // Kept in memory and written with the file's next grouped commit, so that marking
    // costs the medium no write of its own; once the owner has stopped writing rounds,
    // written at once. A crash loses at most one commit interval's marks: those rounds
    // are delivered twice.
    virtual void save_mark(const std::string& consumer, unsigned data_id, std::int64_t unix_ms) = 0;
    // The device's rounds with after_ms < time <= until_ms, oldest first, at most
    // `max_rounds`. Called from a consumer's own thread: may wait on the file, never on
    // the polling.
    virtual bool read_rounds_after(unsigned data_id, std::int64_t after_ms, std::int64_t until_ms,
                                   std::size_t max_rounds, StoredBatch& out,
                                   std::string& error) = 0;
    // The time of the device's newest round on file; 0 when it has none.
    virtual bool newest_round_ms(unsigned data_id, std::int64_t& unix_ms, std::string& error) = 0;
    // Rounds the file's retention removed after the consumer's mark, before they could be
    // delivered, since the mark was first saved.
    virtual unsigned long long pruned_before_delivery(const std::string& consumer,
                                                      unsigned data_id) = 0;
};

}  // namespace kv830host
