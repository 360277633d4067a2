// Opens the page in headless Chromium and writes a PNG of it, for docs/monitoring.md and for
// looking at the page from a terminal.
//
//   kv830_page_shot [options] URL PNG
#include <json/writer.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "cdp_client.h"
#include "option_table.h"

int main(int argc, char** argv) {
    long long width = 1600;
    long long height = 1000;
    long long settle_ms = 2500;
    std::string trend;
    long long range_s = 3600;
    bool help = false;
    const auto number = [](long long min, long long max, long long& out) {
        return [min, max, &out](const std::string& v, std::string& error) {
            if (!kv830cli::parse_decimal(v, min, max, out)) {
                error = "needs a whole number from " + std::to_string(min) + " to " +
                        std::to_string(max);
                return false;
            }
            return true;
        };
    };
    const std::vector<kv830cli::Option> table = {
        {"width",                         'w',       "PX", "viewport width (1600)",           number(320,                  4000,                                                 width)},
        {"height",                               'H',                                 "PX",    "viewport height (1000)", number(320, 4000,                                           height)},
        {"settle",                        's',                                 "MS",                              "time given to the page before the picture (2500)",
         number(0,                            60000,settle_ms)},
        {"trend",                          't',                         "SIGNAL",                             "open the trend of this value signal first",
         [&trend](const std::string& v,                            std::string&) {
             trend = v;
             return true;
         }                                                                                         },
        {"range",   'r',   "S",       "range of that trend: 3600, 86400 or 604800 seconds (3600)",
         [&range_s](const std::string& v,                                                        std::string& error) {
             if (v != "3600" && v != "86400" && v != "604800") {
                 error = "needs one of the page's ranges: 3600, 86400 or 604800";
                 return false;
             }
             range_s = std::stoll(v);
             return true;
         }             },
        {"help", 'h', nullptr,     "this text",
         [&help](const std::string&,                                                         std::string&) {
             help = true;
             return true;
         }                                                                                        },
    };
    std::vector<std::string> positional;
    std::string error;
    if (!kv830cli::parse_command_line(table, argc, argv, positional, error) ||
        (!help && positional.size() != 2)) {
        std::cerr << "kv830_page_shot: " << (error.empty() ? "needs URL and PNG" : error) << "\n";
        return 2;
    }
    if (help) {
        std::cout << kv830cli::format_help(table, "kv830_page_shot [options] URL PNG", "");
        return 0;
    }
    webtest::Browser browser(static_cast<int>(width), static_cast<int>(height));
    if (!browser.ok()) {
        std::cerr << "kv830_page_shot: " << browser.error() << "\n";
        return 1;
    }
    if (!browser.navigate(positional[0])) {
        std::cerr << "kv830_page_shot: " << browser.error() << "\n";
        return 1;
    }
    browser.wait_until("window.kv830 && window.kv830.stats.firstDrawMs !== undefined",
                       std::chrono::milliseconds(20000));
    browser.pump(std::chrono::milliseconds(settle_ms));
    if (!trend.empty()) {
        const std::string js =
            "(() => { const b = [...document.querySelectorAll('tr[data-signal]')]"
            ".find(r => r.dataset.signal === " +
            Json::valueToQuotedString(trend.c_str()) +
            ")?.querySelector('button.tr'); if (b) b.click(); return !!b; })()";
        browser.evaluate(js);
        browser.wait_until("window.kv830.stats.trend !== undefined",
                           std::chrono::milliseconds(10000));
        if (range_s != 3600) {
            browser.evaluate(
                "delete window.kv830.stats.trend; document.querySelector('.ranges "
                "[data-range=\"" +
                std::to_string(range_s) + "\"]').click()");
        }
        browser.wait_until("window.kv830.stats.trend !== undefined",
                           std::chrono::milliseconds(10000));
        browser.pump(std::chrono::milliseconds(500));
    }
    if (!browser.screenshot(positional[1], static_cast<int>(width), static_cast<int>(height))) {
        std::cerr << "kv830_page_shot: " << browser.error() << "\n";
        return 1;
    }
    const auto stats = browser.evaluate("JSON.stringify(window.kv830.stats)");
    std::cout << "wrote " << positional[1] << "; page figures " << stats.asString() << "\n";
    return 0;
}
