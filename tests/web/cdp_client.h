// Headless Chromium driven over its DevTools protocol on a pipe (--remote-debugging-pipe:
// the browser reads commands on fd 3 and writes replies and events on fd 4, each message
// JSON ended by a NUL). One page target, attached in flat mode.
#pragma once

#include <json/value.h>
#include <sys/types.h>

#include <chrono>
#include <deque>
#include <string>
#include <vector>

namespace webtest {

// Debian's Chromium, or an empty string when it is not installed.
std::string find_chromium();

class Browser {
  public:
    // Starts the browser with a fresh profile folder under /tmp; check ok() and error().
    explicit Browser(int width = 1280, int height = 900);
    ~Browser();  // closes the browser, killing it if it does not end
    Browser(const Browser&) = delete;
    Browser& operator=(const Browser&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    // Sends a command to the page (or to the browser with `to_browser`) and returns its
    // result; on a protocol error or at the limit, a null value and error() says why.
    Json::Value call(const std::string& method, const Json::Value& params = Json::Value(),
                     std::chrono::milliseconds limit = std::chrono::milliseconds(15000),
                     bool to_browser = false);

    // Loads `url` and waits for its load event.
    bool navigate(const std::string& url,
                  std::chrono::milliseconds limit = std::chrono::milliseconds(15000));

    // Evaluates an expression in the page (awaiting a promise) and returns its value.
    Json::Value evaluate(const std::string& expression,
                         std::chrono::milliseconds limit = std::chrono::milliseconds(15000));

    // Evaluates `expression` every 100 ms until it is true; false at the limit.
    bool wait_until(const std::string& expression, std::chrono::milliseconds limit);

    // Sets the viewport and writes a PNG of the whole page.
    bool screenshot(const std::string& png_file, int width, int height);

    // Every URL the page asked for since the start (Network.requestWillBeSent).
    const std::vector<std::string>& requested_urls() { return urls_; }

    // Takes in what the browser has sent so far, for up to `limit`.
    void pump(std::chrono::milliseconds limit);

  private:
    bool start(int width, int height);
    bool send(const Json::Value& message);
    bool read_message(Json::Value& message, std::chrono::steady_clock::time_point deadline);
    void note_event(const Json::Value& message);

    pid_t pid_ = -1;
    int to_browser_ = -1;
    int from_browser_ = -1;
    std::string profile_;
    std::string error_;
    std::string buffer_;
    std::string session_;
    int next_id_ = 1;
    bool loaded_ = false;
    std::vector<std::string> urls_;
};

// base64 as the protocol carries binary data.
std::string decode_base64(const std::string& text);

}  // namespace webtest
