// The text exposition of /metrics. Every family is written through MetricsText, which
// writes HELP and TYPE once and escapes label values, so that outputs adding their own
// families cannot break the scrape.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace kv830host {

using MetricLabels = std::vector<std::pair<std::string, std::string>>;

class MetricsText {
  public:
    // Starts a family; type is "counter", "gauge", "histogram" or "untyped". The samples of
    // a family follow its call before the next family starts. Returns false (and writes
    // nothing) when the family was started before, so a second source cannot repeat it.
    bool family(const std::string& name, const char* type, const std::string& help);
    void sample(const std::string& name, const MetricLabels& labels, double value);
    void sample(const std::string& name, const MetricLabels& labels, unsigned long long value);

    const std::string& text() const { return out_; }

  private:
    void write_labels(const MetricLabels& labels);
    std::string out_;
    std::set<std::string> families_;
};

// A label value as the exposition format wants it: backslash, double quote and line feed
// escaped, everything else (Chinese names included) as it is.
std::string escape_label_value(const std::string& value);

// A sample value: shortest text that reads back as the same double; NaN and infinities
// in the format's spelling.
std::string format_metric_value(double value);

}  // namespace kv830host
