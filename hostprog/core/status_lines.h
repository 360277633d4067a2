// The status stream that several polling threads share: each line reaches it whole, so
// that the reports of two lines never interleave within a line.
#pragma once

#include <cstddef>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>

namespace kv830host {

class StatusSink {
  public:
    explicit StatusSink(std::ostream& out) : out_(out) {}
    // Writes `prefix` and `line` (which ends in a newline) in one piece and flushes.
    void write_line(const std::string& prefix, const std::string& line);

  private:
    std::ostream& out_;
    std::mutex mutex_;
};

// An output stream whose text goes to a StatusSink line by line, each behind `prefix`
// ("[3] " for the device of data id 3). A line is held until its newline; what is left
// without one is written when the stream ends.
class StatusStream : public std::ostream {
  public:
    StatusStream(StatusSink& sink, std::string prefix);
    ~StatusStream() override;
    StatusStream(const StatusStream&) = delete;
    StatusStream& operator=(const StatusStream&) = delete;

  private:
    class LineBuffer : public std::streambuf {
      public:
        LineBuffer(StatusSink& sink, std::string prefix)
            : sink_(sink), prefix_(std::move(prefix)) {}
        void finish();

      protected:
        int_type overflow(int_type c) override;
        std::streamsize xsputn(const char* s, std::streamsize n) override;

      private:
        StatusSink& sink_;
        const std::string prefix_;
        std::string line_;
    };

    LineBuffer buffer_;
};

}  // namespace kv830host
