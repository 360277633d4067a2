// Each program's --help against its manual page (packaging/man/*.1).
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "process.h"

namespace {

struct Program {
    const char* name;
    const char* binary;
    const char* page;
};

const Program kPrograms[] = {
    {"kv830-host", KV830_HOST_BIN, MAN_DIR "/kv830-host.1"},
    {"plant-sim",  PLANT_SIM_BIN,  MAN_DIR "/plant-sim.1" },
};

// The help text on standard output; the exit status must be 0.
bool run_help(const std::string& binary, std::string& out) {
    const testproc::TempDir dir("kv830-man-page");
    testproc::Process help({binary, "--help"}, dir.file("help.out"), dir.file("help.err"));
    const int status = help.wait(std::chrono::seconds(30));
    out = help.out();
    return status == 0;
}

// Options are the entries of the help's option lists: a line that starts, after its
// indent, with "--name" or "-x, --name". Mentions of an option inside a description
// are not entries.
std::set<std::string> help_options(const std::string& help) {
    static const std::regex entry(R"(^\s+(?:-[A-Za-z], )?(--[a-z][a-z0-9-]*))");
    std::set<std::string> names;
    std::istringstream lines(help);
    std::string line;
    while (std::getline(lines, line)) {
        std::smatch m;
        if (std::regex_search(line, m, entry)) {
            names.insert(m[1]);
        }
    }
    return names;
}

// The page's text with roff's escaped hyphens ("\-") as plain ones and font changes
// ("\fB", "\fR", ...) removed, so that an option reads as on a terminal.
std::string page_text(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream raw;
    raw << in.rdbuf();
    std::string text = std::regex_replace(raw.str(), std::regex(R"(\\f[BIRP])"), "");
    return std::regex_replace(text, std::regex(R"(\\-)"), "-");
}

// The page documents an option when an option entry (.TP, then a line naming it) or a
// line of the synopsis names it, not just any mention: "--history" inside
// "--history-keep" does not count.
bool page_documents(const std::string& text, const std::string& option) {
    const std::regex named("(^|[^a-z0-9-])" + option + "([^a-z0-9-]|$)");
    std::istringstream lines(text);
    std::string line;
    bool after_tp = false;
    while (std::getline(lines, line)) {
        if (after_tp && std::regex_search(line, named)) {
            return true;
        }
        after_tp = line.rfind(".TP", 0) == 0;
    }
    return false;
}

TEST(ManPage, DocumentsEveryOptionOfHelp) {
    for (const Program& program : kPrograms) {
        SCOPED_TRACE(program.name);
        std::string help;
        ASSERT_TRUE(run_help(program.binary, help)) << program.binary << " --help failed";
        const std::set<std::string> options = help_options(help);
        // A help text that yields a handful of options means the parse above broke.
        ASSERT_GE(options.size(), 10U) << help;
        const std::string text = page_text(program.page);
        ASSERT_FALSE(text.empty()) << "no page at " << program.page;
        for (const std::string& option : options) {
            SCOPED_TRACE(option);
            EXPECT_TRUE(page_documents(text, option))
                << program.page << " has no entry for " << option;
        }
    }
}

TEST(ManPage, NamesTheProgramAndItsExitStatus) {
    for (const Program& program : kPrograms) {
        SCOPED_TRACE(program.name);
        const std::string text = page_text(program.page);
        EXPECT_NE(text.find("\n" + std::string(program.name) + " - "), std::string::npos);
        for (const char* section :
             {".SH OPTIONS", ".SH EXIT STATUS", ".SH SIGNALS", ".SH EXAMPLES"}) {
            SCOPED_TRACE(section);
            EXPECT_NE(text.find(section), std::string::npos);
        }
    }
}

}  // namespace
