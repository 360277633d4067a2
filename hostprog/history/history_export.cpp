#include "history_export.h"

#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "alarm_export.h"
#include "csv_text.h"
#include "history_decoder.h"
#include "history_store.h"
#include "option_table.h"
#include "settings_devices.h"
#include "signal_model.h"
#include "time_text.h"

namespace kv830host {

namespace {

enum class Format { Csv, Jsonl };

struct ExportOptions {
    std::string history;
    std::string plugin;
    std::string from;
    std::string to;
    bool has_data_id = false;
    unsigned data_id = 0;
    std::vector<std::string> signals;
    Format format = Format::Csv;
    bool raw = false;
    std::string settings_file;
    bool alarms = false;
    bool help = false;
};

std::vector<kv830cli::Option> option_table(ExportOptions& o) {
    return {
        {"history", 0, "FILE",    "the history file to read (opened for reading only)",
         [&o](const std::string& v,                                                                                std::string&) {
             o.history = v;
             return true;
         }                                                                                                                         },
        {"from",    0, "TIME",
         "first round to print: ISO 8601 (2026-12-08T08:00, with Z or +01:00, else local\n"
         "time), unix seconds (1765180800.5 or @1765180800), now, or -30m, -1h, -7d\n"
         "(that long ago)",                                                             [&o](const std::string& v, std::string&) {
             o.from = v;
             return true;
         }                                          },
        {"to",      0, "TIME",    "last round to print, as --from",
         [&o](const std::string& v,                                                                                std::string&) {
             o.to = v;
             return true;
         }                                                                                                                         },
        {"data-id", 0, "N",       "only the rounds of this device",
         [&o](const std::string& v,                                                                                std::string& error) {
             long long n = 0;
             if (!kv830cli::parse_decimal(v, 0, 4294967295LL, n)) {
                 error = "'" + v + "' is not a data id (0 to 4294967295)";
                 return false;
             }
             o.has_data_id = true;
             o.data_id = static_cast<unsigned>(n);
             return true;
         }                                                                                                                         },
        {"signal",  0, "NAME",    "print this signal (repeat for more); default all",
         [&o](const std::string& v,                                                                                std::string&) {
             o.signals.push_back(v);
             return true;
         },                                                                                                                          true},
        {"format",         0,   "csv|jsonl",
         "csv (default: a header of signal names) or one JSON object a line",                                          [&o](const std::string& v,                                      std::string& error) {
             if (v == "csv") {
                 o.format = Format::Csv;
             } else if (v == "jsonl") {
                 o.format = Format::Jsonl;
             } else {
                 error = "'" + v + "' is not csv or jsonl";
                 return false;
             }
             return true;
         }                      },
        {"raw",         0,      nullptr,
         "register counts as the device stores them, without units\n(default: scaled values, "
         "the unit in the CSV header)",                                              [&o](const std::string&,                                                                            std::string&) {
             o.raw = true;
             return true;
         }                                                          },
        {"settings",         0, "FILE",
         "the settings document whose \"signals\" scale the values\n(/etc/kv830/kv830-host.json "
         "when it exists)",                                               [&o](const std::string& v,                                                                                        std::string&) {
             o.settings_file = v;
             return true;
         }                                                                   },
        {"plugin",         0,   "PATH",
         "the device plug-in that decodes the rounds (default: kv830.so\nbeside the program)",                                               [&o](const std::string& v,                     std::string&) {
             o.plugin = v;
             return true;
         }},
        {"alarms",         0,   nullptr,
         "print the alarm journal instead of the rounds: time, data_id,\nsignal, priority, "
         "state, by",                                              [&o](const std::string&,                                                                                              std::string&) {
             o.alarms = true;
             return true;
         }                                                                            },
        {"help",         'h',     nullptr,   "show this help",
         [&o](const std::string&,                                                   std::string&) {
             o.help = true;
             return true;
         }                                                                                                                                      },
    };
}

const char* const kUsage = "Usage: kv830-host export --history FILE [OPTIONS]";
const char* const kEpilogue =
    "Prints the stored rounds, oldest first, one row each, decoded by the device plug-in\n"
    "itself. The time column is the round's own time in ISO 8601 with the local offset.\n"
    "Values are scaled by each device's signal model (docs/signals.md), with the unit in\n"
    "the CSV header (\"室外温度 [°C]\"); --raw prints the register counts instead.\n"
    "Exit status: 0 done, 1 the history or the plug-in cannot be used or the output\n"
    "fails, 2 bad command line.\n";

// JSON text with UTF-8 kept as it is: the signal names stay readable.
void append_json_text(std::string& line, const char* begin, const char* end) {
    line += '"';
    for (const char* p = begin; p != end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            line += '\\';
            line += *p;
        } else if (c < 0x20) {
            char escaped[8];
            (void)std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            line += escaped;
        } else {
            line += *p;
        }
    }
    line += '"';
}

void append_number(std::string& line, double v) {
    char text[32];
    if (std::isfinite(v) && std::fabs(v) < 1e15 && v == std::floor(v)) {
        const auto r = std::to_chars(text, text + sizeof text, static_cast<long long>(v));
        line.append(text, r.ptr);
        return;
    }
    const int n = std::snprintf(text, sizeof text, "%.17g", v);
    line.append(text, static_cast<std::size_t>(n));
}

void append_value(std::string& line, const Json::Value& v, Format format) {
    if (v.isNumeric() || v.isBool()) {
        append_number(line, v.asDouble());
        return;
    }
    if (v.isString()) {
        const char* begin = nullptr;
        const char* end = nullptr;
        v.getString(&begin, &end);
        if (format == Format::Csv) {
            append_csv_text(line, begin, end);
        } else {
            append_json_text(line, begin, end);
        }
        return;
    }
    if (format == Format::Jsonl) {
        line += "null";
    }
}

bool member_is(const Json::Value::const_iterator& it, const std::string& name) {
    const char* end = nullptr;
    const char* begin = it.memberName(&end);
    return begin != nullptr && static_cast<std::size_t>(end - begin) == name.size() &&
           name.compare(0, name.size(), begin, name.size()) == 0;
}

// Signal names of a document, in its order, without the device's own round time.
std::vector<std::string> signal_names(const Json::Value& document) {
    std::vector<std::string> names;
    for (const std::string& name : document.getMemberNames()) {
        if (name != kDocumentTimeKey) {
            names.push_back(name);
        }
    }
    return names;
}

// The signal model of each device in the settings document; every other device (and
// every device, for a document without a "devices" list) has `other`.
struct ExportModels {
    std::map<unsigned, SignalModel> by_data_id;
    SignalModel other;

    const SignalModel& of(unsigned data_id) const {
        const auto found = by_data_id.find(data_id);
        return found == by_data_id.end() ? other : found->second;
    }
    // The model the CSV header's units come from: the device asked for, else the first.
    const SignalModel& header(const ExportOptions& o) const {
        if (o.has_data_id || by_data_id.empty()) {
            return of(o.data_id);
        }
        return by_data_id.begin()->second;
    }
};

bool read_models(const ExportOptions& o, ExportModels& models, std::string& error) {
    std::vector<DeviceOptions> devices;
    bool listed = false;
    if (!read_settings_devices(o.settings_file, devices, listed, error)) {
        return false;
    }
    if (!listed) {
        models.other = devices.front().gateway.signals;
        return true;
    }
    for (DeviceOptions& d : devices) {
        models.by_data_id.emplace(d.data_id, std::move(d.gateway.signals));
    }
    return true;
}

const std::string& unit_of(const SignalModel& model, const std::string& name) {
    static const std::string none;
    const SignalTraits* traits = model.find(name);
    return traits != nullptr && traits->scaled() ? traits->unit_of_measurement : none;
}

// One header names one unit: a column whose devices disagree needs --data-id or --raw.
bool check_units(const ExportOptions& o, const ExportModels& models, const SignalModel& header,
                 const std::vector<std::string>& columns, std::string& error) {
    if (o.raw || o.has_data_id) {
        return true;
    }
    for (const std::string& c : columns) {
        const std::string& unit = unit_of(header, c);
        for (const auto& [data_id, model] : models.by_data_id) {
            if (unit_of(model, c) != unit) {
                error = "\"" + c + "\" is in " + (unit.empty() ? "no unit" : unit) +
                        " on one device and in " +
                        (unit_of(model, c).empty() ? "no unit" : unit_of(model, c)) +
                        " on data id " + std::to_string(data_id) +
                        ": export one device (--data-id) or the counts (--raw)";
                return false;
            }
        }
    }
    return true;
}

class Exporter {
  public:
    Exporter(const ExportOptions& o, const ExportModels& models, std::ostream& out)
        : o_(o), models_(models), out_(out) {}

    // Checks the signals asked for against a document and writes the header.
    bool begin(const Json::Value* sample, std::string& error) {
        if (o_.signals.empty()) {
            if (sample != nullptr) {
                columns_ = signal_names(*sample);
            }
        } else {
            const std::vector<std::string> known =
                sample != nullptr ? signal_names(*sample) : std::vector<std::string>();
            for (const std::string& s : o_.signals) {
                if (sample != nullptr && !sample->isMember(s)) {
                    const std::string hint = kv830cli::did_you_mean(s, known);
                    error = "unknown signal \"" + s + "\"";
                    error += hint;
                    return false;
                }
            }
            columns_ = o_.signals;
        }
        const SignalModel& header_model = models_.header(o_);
        if (!check_units(o_, models_, header_model, columns_, error)) {
            return false;
        }
        for (const std::string& c : columns_) {
            std::string key;
            append_json_text(key, c.data(), c.data() + c.size());
            quoted_.push_back(key + ":");
        }
        if (o_.format == Format::Csv) {
            line_ = "time,data_id";
            for (const std::string& c : columns_) {
                line_ += ',';
                const std::string& unit = o_.raw ? std::string() : unit_of(header_model, c);
                const std::string title = unit.empty() ? c : c + " [" + unit + "]";
                append_csv_text(line_, title.data(), title.data() + title.size());
            }
            line_ += '\n';
            out_ << line_;
        }
        return true;
    }

    void row(const StoredRound& round, const Json::Value& document) {
        line_.clear();
        const std::string time = format_time_local(round.unix_ms);
        const bool csv = o_.format == Format::Csv;
        if (csv) {
            line_ += time;
            line_ += ',';
            line_ += std::to_string(round.data_id);
        } else {
            line_ += R"({"time":")" + time + R"(","data_id":)" + std::to_string(round.data_id);
        }
        const bool all = o_.signals.empty();
        const std::vector<const SignalTraits*>& traits_list = traits_of_device(round.data_id);
        auto it = document.begin();
        for (std::size_t i = 0; i < columns_.size(); ++i) {
            line_ += ',';
            if (!csv) {
                line_ += quoted_[i];
            }
            const Json::Value* v = nullptr;
            if (all) {
                // Documents keep their members in one order: walk it, checking the name.
                while (it != document.end() && member_is(it, time_key_)) {
                    ++it;
                }
                if (it != document.end() && member_is(it, columns_[i])) {
                    v = &*it;
                    ++it;
                }
            }
            if (v == nullptr) {
                v = document.find(columns_[i].data(), columns_[i].data() + columns_[i].size());
            }
            std::uint16_t counts = 0;
            if (v != nullptr && traits_list[i] != nullptr && document_counts(*v, counts)) {
                line_ += format_number(raw_to_engineering(*traits_list[i], counts),
                                       traits_list[i]->decimals);
            } else if (v != nullptr) {
                append_value(line_, *v, o_.format);
            } else if (!csv) {
                line_ += "null";
            }
        }
        line_ += csv ? "\n" : "}\n";
        out_ << line_;
    }

  private:
    // The scaled columns' traits_list for a device, null where the column shows what the device
    // stored (--raw, texts, bits).
    const std::vector<const SignalTraits*>& traits_of_device(unsigned data_id) {
        auto found = traits_.find(data_id);
        if (found != traits_.end()) {
            return found->second;
        }
        std::vector<const SignalTraits*> traits_list;
        const SignalModel& model = models_.of(data_id);
        for (const std::string& c : columns_) {
            const SignalTraits* traits = o_.raw ? nullptr : model.find(c);
            traits_list.push_back(traits != nullptr && traits->scaled() ? traits : nullptr);
        }
        return traits_.emplace(data_id, std::move(traits_list)).first->second;
    }

    const ExportOptions& o_;
    const ExportModels& models_;
    std::ostream& out_;
    std::map<unsigned, std::vector<const SignalTraits*>> traits_;
    std::vector<std::string> columns_;
    std::vector<std::string> quoted_;
    std::string line_;
    const std::string time_key_ = kDocumentTimeKey;
};

// The command line read and checked: false with the exit status when there is nothing
// more to do (help given, or a refusal).
bool read_command_line(int argc, char** argv, ExportOptions& o, RoundQuery& query,
                       std::ostream& out, std::ostream& err, int& status) {
    const std::vector<kv830cli::Option> table = option_table(o);
    std::vector<std::string> positional;
    std::string error;
    status = kExitUsage;
    if (!kv830cli::parse_command_line(table, argc, argv, positional, error)) {
        err << "kv830-host export: " << error << "\n(try kv830-host export --help)" << std::endl;
        return false;
    }
    if (o.help) {
        out << kv830cli::format_help(table, kUsage, kEpilogue);
        status = kExitOk;
        return false;
    }
    if (!positional.empty()) {
        err << "kv830-host export: unexpected argument '" << positional.front() << "'" << std::endl;
        return false;
    }
    if (o.history.empty()) {
        err << "kv830-host export: --history FILE is required" << std::endl;
        return false;
    }
    const std::int64_t now = wall_clock_ms();
    if ((!o.from.empty() && !parse_time(o.from, now, query.from_ms, error)) ||
        (!o.to.empty() && !parse_time(o.to, now, query.to_ms, error))) {
        err << "kv830-host export: " << error << std::endl;
        return false;
    }
    if (query.from_ms > query.to_ms) {
        err << "kv830-host export: --from is after --to" << std::endl;
        return false;
    }
    query.any_data_id = !o.has_data_id;
    query.data_id = o.data_id;
    return true;
}

// The document of the first round the file holds (of the device asked for), so that the
// signals asked for are checked even when the range is empty; null when there is none.
std::unique_ptr<Json::Value> first_document(HistoryStore& store, HistoryDecoder& decoder,
                                            const RoundQuery& query) {
    std::unique_ptr<Json::Value> sample;
    std::string error;
    store.read_rounds(
        query.any_data_id ? RoundQuery{} : RoundQuery{false, query.data_id},
        [&](const StoredRound& round) {
            std::string why;
            const Json::Value* document = decoder.decode(round.data_id, round.record, why);
            if (document != nullptr) {
                sample = std::make_unique<Json::Value>(*document);
            }
            return document == nullptr;
        },
        error);
    return sample;
}

struct ExportCounts {
    unsigned long long rows = 0;
    unsigned long long refused = 0;
};

bool write_rows(HistoryStore& store, HistoryDecoder& decoder, const RoundQuery& query,
                Exporter& exporter, const std::ostream& out, ExportCounts& counts,
                std::string& error) {
    return store.read_rounds(
        query,
        [&](const StoredRound& round) {
            std::string why;
            const Json::Value* document = decoder.decode(round.data_id, round.record, why);
            if (document == nullptr) {
                ++counts.refused;
                return true;
            }
            exporter.row(round, *document);
            ++counts.rows;
            return out.good();
        },
        error);
}

int export_alarms(const ExportOptions& o, const RoundQuery& query, HistoryStore& store,
                  std::ostream& out, std::ostream& err) {
    if (!o.signals.empty()) {
        err << "kv830-host export: --signal selects rounds' columns, not alarms" << std::endl;
        return kExitUsage;
    }
    std::string error;
    unsigned long long rows = 0;
    if (!store.open(o.history, HistoryStore::Access::ReadOnly, error) ||
        !export_alarm_events(store, query, o.format == Format::Jsonl, out, rows, error)) {
        err << "kv830-host export: " << error << std::endl;
        return kExitFailure;
    }
    out.flush();
    if (!out.good()) {
        err << "kv830-host export: cannot write the rows" << std::endl;
        return kExitFailure;
    }
    err << "kv830-host export: " << rows << " alarm events" << std::endl;
    return kExitOk;
}

}  // namespace

int run_export(int argc, char** argv, std::ostream& out, std::ostream& err,
               const std::string& default_settings_file) {
    ExportOptions o;
    RoundQuery query;
    int status = kExitOk;
    if (!read_command_line(argc, argv, o, query, out, err, status)) {
        return status;
    }
    if (o.settings_file.empty() && !o.raw && !default_settings_file.empty() &&
        ::access(default_settings_file.c_str(), F_OK) == 0) {
        o.settings_file = default_settings_file;
    }
    std::string error;
    ExportModels models;
    if (!o.raw && !read_models(o, models, error)) {
        err << "kv830-host export: " << error << std::endl;
        return kExitUsage;
    }
    HistoryStore store;
    if (o.alarms) {
        return export_alarms(o, query, store, out, err);
    }
    HistoryDecoder decoder;
    if (!store.open(o.history, HistoryStore::Access::ReadOnly, error) ||
        !decoder.load(o.plugin, error)) {
        err << "kv830-host export: " << error << std::endl;
        return kExitFailure;
    }
    const std::unique_ptr<Json::Value> sample = first_document(store, decoder, query);
    Exporter exporter(o, models, out);
    if (!exporter.begin(sample.get(), error)) {
        err << "kv830-host export: " << error << std::endl;
        return kExitUsage;
    }
    ExportCounts counts;
    const bool read = write_rows(store, decoder, query, exporter, out, counts, error);
    out.flush();
    if (!read || !out.good()) {
        err << "kv830-host export: " << (read ? "cannot write the rows" : error) << std::endl;
        return kExitFailure;
    }
    err << "kv830-host export: " << counts.rows << " rounds";
    const unsigned long long unreadable = counts.refused + store.rows_skipped();
    if (unreadable > 0) {
        err << ", " << unreadable << " stored rows unreadable and left out";
    }
    err << std::endl;
    return kExitOk;
}

}  // namespace kv830host
