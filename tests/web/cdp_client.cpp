#include "cdp_client.h"

#include <fcntl.h>
#include <json/reader.h>
#include <json/writer.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

namespace webtest {

namespace {

using Clock = std::chrono::steady_clock;

// A browser started for a test stays clear of everything outside the page it is shown.
const char* const kFlags[] = {
    "--headless",
    "--no-sandbox",
    "--disable-gpu",
    "--disable-quic",
    "--no-first-run",
    "--no-default-browser-check",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
    "--disable-extensions",
    "--disable-default-apps",
    "--disable-domain-reliability",
    "--disable-client-side-phishing-detection",
    "--metrics-recording-only",
    "--mute-audio",
    "--hide-scrollbars",
    "--remote-debugging-pipe",
};

bool parse(const std::string& text, Json::Value& out) {
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    return reader->parse(text.data(), text.data() + text.size(), &out, &errors);
}

std::string compact(const Json::Value& v) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, v);
}

void remove_tree(const std::string& path) {
    if (path.empty()) {
        return;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execlp("rm", "rm", "-rf", "--", path.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (pid > 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
}

}  // namespace

std::string find_chromium() {
    static const char* const kPaths[] = {"/usr/bin/chromium", "/usr/lib/chromium/chromium",
                                         "/usr/bin/chromium-browser"};
    for (const char* p : kPaths) {
        if (::access(p, X_OK) == 0) {
            return p;
        }
    }
    return {};
}

std::string decode_base64(const std::string& text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') {
            return c - 'A';
        }
        if (c >= 'a' && c <= 'z') {
            return c - 'a' + 26;
        }
        if (c >= '0' && c <= '9') {
            return c - '0' + 52;
        }
        if (c == '+') {
            return 62;
        }
        if (c == '/') {
            return 63;
        }
        return -1;
    };
    std::string out;
    out.reserve(text.size() * 3 / 4);
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        const int v = value(c);
        if (v < 0) {
            continue;
        }
        bits = (bits << 6) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xFFu));
        }
    }
    return out;
}

Browser::Browser(int width, int height) {
    if (!start(width, height)) {
        if (error_.empty()) {
            error_ = "the browser did not start";
        }
    }
}

Browser::~Browser() {
    if (pid_ > 0) {
        Json::Value close(Json::objectValue);
        close["id"] = next_id_++;
        close["method"] = "Browser.close";
        send(close);
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() > deadline) {
                ::kill(-pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        // Its helper processes share its process group.
        ::kill(-pid_, SIGKILL);
    }
    if (to_browser_ >= 0) {
        ::close(to_browser_);
    }
    if (from_browser_ >= 0) {
        ::close(from_browser_);
    }
    remove_tree(profile_);
}

bool Browser::start(int width, int height) {
    const std::string chromium = find_chromium();
    if (chromium.empty()) {
        error_ = "Chromium is not installed (Debian package chromium; make deps installs it)";
        return false;
    }
    char tmpl[] = "/tmp/kv830-browser.XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) {
        error_ = std::string("mkdtemp: ") + std::strerror(errno);
        return false;
    }
    profile_ = tmpl;
    int commands[2];
    int replies[2];
    if (::pipe2(commands, O_CLOEXEC) != 0 || ::pipe2(replies, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    std::vector<std::string> args = {chromium};
    for (const char* f : kFlags) {
        args.emplace_back(f);
    }
    args.push_back("--user-data-dir=" + profile_);
    args.push_back("--window-size=" + std::to_string(width) + "," + std::to_string(height));
    args.emplace_back("about:blank");
    const std::string log = profile_ + "/browser.log";

    pid_ = ::fork();
    if (pid_ < 0) {
        error_ = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid_ == 0) {
        ::setpgid(0, 0);
        // fd 3: commands in; fd 4: replies out. dup2 clears close-on-exec.
        const int in = ::fcntl(commands[0], F_DUPFD_CLOEXEC, 10);
        const int out = ::fcntl(replies[1], F_DUPFD_CLOEXEC, 10);
        if (in < 0 || out < 0 || ::dup2(in, 3) < 0 || ::dup2(out, 4) < 0) {
            ::_exit(126);
        }
        const int devnull = ::open("/dev/null", O_RDONLY);
        const int logfd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (devnull >= 0) {
            ::dup2(devnull, 0);
        }
        if (logfd >= 0) {
            ::dup2(logfd, 1);
            ::dup2(logfd, 2);
        }
        std::vector<char*> argv;
        argv.reserve(args.size() + 1);
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(commands[0]);
    ::close(replies[1]);
    to_browser_ = commands[1];
    from_browser_ = replies[0];
    // The earlier disposition is of no interest: a test never wants SIGPIPE.
    (void)::signal(SIGPIPE, SIG_IGN);

    // A page of its own, attached in flat mode: commands name their session.
    Json::Value params(Json::objectValue);
    params["url"] = "about:blank";
    const Json::Value created =
        call("Target.createTarget", params, std::chrono::milliseconds(30000), true);
    if (!created.isObject() || !created["targetId"].isString()) {
        error_ = "Target.createTarget failed: " + error_;
        return false;
    }
    Json::Value attach(Json::objectValue);
    attach["targetId"] = created["targetId"];
    attach["flatten"] = true;
    const Json::Value attached =
        call("Target.attachToTarget", attach, std::chrono::milliseconds(15000), true);
    if (!attached.isObject() || !attached["sessionId"].isString()) {
        error_ = "Target.attachToTarget failed: " + error_;
        return false;
    }
    session_ = attached["sessionId"].asString();
    for (const char* domain : {"Page.enable", "Runtime.enable", "Network.enable"}) {
        call(domain);
        if (!error_.empty()) {
            return false;
        }
    }
    Json::Value metrics(Json::objectValue);
    metrics["width"] = width;
    metrics["height"] = height;
    metrics["deviceScaleFactor"] = 1;
    metrics["mobile"] = false;
    call("Emulation.setDeviceMetricsOverride", metrics);
    return error_.empty();
}

bool Browser::send(const Json::Value& message) {
    std::string text = compact(message);
    text.push_back('\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(to_browser_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error_ = std::string("write to the browser: ") + std::strerror(errno);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool Browser::read_message(Json::Value& message, Clock::time_point deadline) {
    for (;;) {
        const auto nul = buffer_.find('\0');
        if (nul != std::string::npos) {
            const std::string text = buffer_.substr(0, nul);
            buffer_.erase(0, nul + 1);
            if (!parse(text, message)) {
                error_ = "the browser sent bad JSON";
                return false;
            }
            return true;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            return false;
        }
        pollfd p{from_browser_, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        char chunk[65536];
        const ssize_t n = ::read(from_browser_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error_ = "the browser closed its pipe";
            return false;
        }
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

void Browser::note_event(const Json::Value& message) {
    const std::string method = message["method"].asString();
    if (method == "Network.requestWillBeSent") {
        urls_.push_back(message["params"]["request"]["url"].asString());
    } else if (method == "Page.loadEventFired") {
        loaded_ = true;
    }
}

void Browser::pump(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    Json::Value message;
    while (read_message(message, deadline)) {
        note_event(message);
    }
}

Json::Value Browser::call(const std::string& method, const Json::Value& params,
                          std::chrono::milliseconds limit, bool to_browser) {
    if (to_browser_ < 0) {
        return {};
    }
    Json::Value message(Json::objectValue);
    const int id = next_id_++;
    message["id"] = id;
    message["method"] = method;
    if (!params.isNull()) {
        message["params"] = params;
    }
    if (!to_browser && !session_.empty()) {
        message["sessionId"] = session_;
    }
    if (!send(message)) {
        return {};
    }
    const auto deadline = Clock::now() + limit;
    Json::Value reply;
    while (read_message(reply, deadline)) {
        if (reply.isMember("id") && reply["id"].asInt() == id) {
            if (reply.isMember("error")) {
                error_ = method + ": " + reply["error"]["message"].asString();
                return {};
            }
            return reply["result"];
        }
        note_event(reply);
    }
    if (error_.empty()) {
        error_ = method + ": no answer within " + std::to_string(limit.count()) + " ms";
    }
    return {};
}

bool Browser::navigate(const std::string& url, std::chrono::milliseconds limit) {
    loaded_ = false;
    Json::Value params(Json::objectValue);
    params["url"] = url;
    const Json::Value r = call("Page.navigate", params, limit);
    if (!r.isObject()) {
        return false;
    }
    if (r.isMember("errorText")) {
        error_ = "navigate: " + r["errorText"].asString();
        return false;
    }
    const auto deadline = Clock::now() + limit;
    Json::Value message;
    while (!loaded_ && read_message(message, deadline)) {
        note_event(message);
    }
    if (!loaded_) {
        error_ = "navigate: no load event for " + url;
    }
    return loaded_;
}

Json::Value Browser::evaluate(const std::string& expression, std::chrono::milliseconds limit) {
    Json::Value params(Json::objectValue);
    params["expression"] = expression;
    params["awaitPromise"] = true;
    params["returnByValue"] = true;
    const Json::Value r = call("Runtime.evaluate", params, limit);
    if (!r.isObject()) {
        return {};
    }
    if (r.isMember("exceptionDetails")) {
        const Json::Value& d = r["exceptionDetails"];
        error_ =
            "evaluate: " + d["text"].asString() + " " + d["exception"]["description"].asString();
        return {};
    }
    return r["result"]["value"];
}

bool Browser::wait_until(const std::string& expression, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        const Json::Value v = evaluate("!!(" + expression + ")");
        if (v.isBool() && v.asBool()) {
            return true;
        }
        pump(std::chrono::milliseconds(100));
    }
    return false;
}

bool Browser::screenshot(const std::string& png_file, int width, int height) {
    Json::Value metrics(Json::objectValue);
    metrics["width"] = width;
    metrics["height"] = height;
    metrics["deviceScaleFactor"] = 1;
    metrics["mobile"] = width < 700;
    call("Emulation.setDeviceMetricsOverride", metrics);
    pump(std::chrono::milliseconds(300));
    Json::Value params(Json::objectValue);
    params["format"] = "png";
    params["captureBeyondViewport"] = false;
    const Json::Value r = call("Page.captureScreenshot", params, std::chrono::milliseconds(30000));
    if (!r.isObject() || !r["data"].isString()) {
        return false;
    }
    const std::string bytes = decode_base64(r["data"].asString());
    const std::string tmp = png_file + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out.flush()) {
            error_ = "cannot write " + tmp;
            return false;
        }
    }
    if (std::rename(tmp.c_str(), png_file.c_str()) != 0) {
        error_ = "cannot write " + png_file;
        return false;
    }
    return true;
}

}  // namespace webtest
