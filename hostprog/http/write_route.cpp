// POST /api/write: a register write from outside, through the program's one rule for
// remote writes. The token comes first (wrong ones answered later and later), then the
// command's form (400), then the rule and the controller (422 when refused), all answered
// as {"outcome": ...} so that the page shows every refusal the same way.
#include <strings.h>

#include "http_core.h"
#include "http_settings.h"
#include "write_command.h"

namespace kv830host {

namespace {

// The token of "Bearer <token>", the scheme in any case; false when there is none.
bool bearer_token(const std::string& header, std::string& token) {
    constexpr std::size_t kScheme = 6;  // "bearer"
    if (header.size() <= kScheme + 1 || ::strncasecmp(header.c_str(), "bearer", kScheme) != 0 ||
        (header[kScheme] != ' ' && header[kScheme] != '\t')) {
        return false;
    }
    const std::size_t start = header.find_first_not_of(" \t", kScheme);
    if (start == std::string::npos) {
        return false;
    }
    token = header.substr(start);
    return true;
}

Reply unauthorized(const std::string& why, const char* challenge) {
    Reply r = refusal(401, why);
    r.set("WWW-Authenticate", challenge);
    return r;
}

Reply outcome_reply(const WriteOutcome& outcome) {
    // A body that is not a command is the client's mistake (400); a command the rule
    // refuses is understood and declined (422).
    if (outcome.refusal == WriteRefusal::Malformed) {
        return write_refusal(400, outcome.reason);
    }
    if (outcome.kind == WriteOutcome::Kind::Refused && outcome.refusal != WriteRefusal::None) {
        return write_refusal(422, outcome.reason);
    }
    std::string out = "{\"outcome\":" + json_string(write_outcome_text(outcome.kind));
    if (!outcome.reason.empty()) {
        out += ",\"reason\":" + json_string(outcome.reason);
    }
    out += ",\"retried\":" + std::string(outcome.retried ? "true" : "false") + "}\n";
    // The controller's own refusal (an exception) is the client's to fix, as the rule's is.
    return json_reply(outcome.kind == WriteOutcome::Kind::Refused ? 422 : 200, out);
}

}  // namespace

bool authorize_write(ServerCore& core, const ExchangePtr& ex) {
    if (!core.writes_enabled()) {
        ex->answer(refusal(403, "writes are off: start with --http-writes and --http-token-file"));
        return false;
    }
    std::string presented;
    if (!bearer_token(ex->header("Authorization"), presented)) {
        ex->answer(
            unauthorized("Authorization: Bearer <token> is missing", "Bearer realm=\"kv830\""));
        return false;
    }
    if (!same_token(presented, core.token)) {
        const auto delay = core.throttle.on_failure(ex->client, AuthThrottle::Clock::now());
        ex->answer_after(
            delay, unauthorized("wrong token", R"(Bearer realm="kv830", error="invalid_token")"));
        return false;
    }
    core.throttle.on_success(ex->client);
    return true;
}

void serve_write(ServerCore& core, const ExchangePtr& ex) {
    if (!authorize_write(core, ex)) {
        return;
    }
    RemoteWrite write;
    std::string error;
    const bool parsed = parse_write_command(ex->body, write, error);
    write.source = "http " + ex->client;
    // Whichever comes first: the outcome, or the end of the wait.
    const int wait_s = core.limits.write_wait_s;
    ex->answer_after(std::chrono::seconds(wait_s),
                     refusal(504, "no outcome within " + std::to_string(wait_s) +
                                      " s; the write may still be carried out"));
    const WriteDone done = [ex](const WriteOutcome& outcome) {
        ex->answer(outcome_reply(outcome));
    };
    if (parsed) {
        core.writes->submit(std::move(write), done);
    } else {
        // Through the rule's door all the same, so that it leaves its audit line.
        core.writes->refuse(write, WriteRefusal::Malformed, error, done);
    }
}

}  // namespace kv830host
