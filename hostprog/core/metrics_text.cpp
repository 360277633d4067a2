#include "metrics_text.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace kv830host {

namespace {

std::string escape_help(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::string escape_label_value(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string format_metric_value(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value > 0 ? "+Inf" : "-Inf";
    }
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return {buffer, result.ptr};
}

bool MetricsText::family(const std::string& name, const char* type, const std::string& help) {
    if (!families_.insert(name).second) {
        return false;
    }
    out_ += "# HELP " + name + " " + escape_help(help) + "\n";
    out_ += "# TYPE " + name + " " + type + "\n";
    return true;
}

void MetricsText::write_labels(const MetricLabels& labels) {
    if (labels.empty()) {
        return;
    }
    out_ += '{';
    bool first = true;
    for (const auto& label : labels) {
        if (!first) {
            out_ += ',';
        }
        first = false;
        out_ += label.first;
        out_ += "=\"";
        out_ += escape_label_value(label.second);
        out_ += '"';
    }
    out_ += '}';
}

void MetricsText::sample(const std::string& name, const MetricLabels& labels, double value) {
    out_ += name;
    write_labels(labels);
    out_ += ' ';
    out_ += format_metric_value(value);
    out_ += '\n';
}

void MetricsText::sample(const std::string& name, const MetricLabels& labels,
                         unsigned long long value) {
    out_ += name;
    write_labels(labels);
    out_ += ' ';
    out_ += std::to_string(value);
    out_ += '\n';
}

}  // namespace kv830host
