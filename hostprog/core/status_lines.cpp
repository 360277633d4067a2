#include "status_lines.h"

#include <utility>

namespace kv830host {

void StatusSink::write_line(const std::string& prefix, const std::string& line) {
    const std::lock_guard<std::mutex> lock(mutex_);
    out_ << prefix << line << std::flush;
}

StatusStream::StatusStream(StatusSink& sink, std::string prefix)
    : std::ostream(nullptr), buffer_(sink, std::move(prefix)) {
    rdbuf(&buffer_);
}

StatusStream::~StatusStream() {
    buffer_.finish();
}

void StatusStream::LineBuffer::finish() {
    if (!line_.empty()) {
        sink_.write_line(prefix_, line_);
        line_.clear();
    }
}

StatusStream::LineBuffer::int_type StatusStream::LineBuffer::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) {
        return traits_type::not_eof(c);
    }
    const char ch = traits_type::to_char_type(c);
    line_.push_back(ch);
    if (ch == '\n') {
        finish();
    }
    return c;
}

std::streamsize StatusStream::LineBuffer::xsputn(const char* s, std::streamsize n) {
    const auto size = static_cast<std::size_t>(n);
    std::size_t from = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (s[i] == '\n') {
            line_.append(s + from, i + 1 - from);
            finish();
            from = i + 1;
        }
    }
    line_.append(s + from, size - from);
    return n;
}

}  // namespace kv830host
