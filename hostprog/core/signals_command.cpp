#include "signals_command.h"

#include <json/writer.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <utility>
#include <vector>

#include "csv_text.h"
#include "device_list.h"
#include "option_table.h"
#include "settings_devices.h"

namespace kv830host {

namespace {

enum class Format { Table, Csv, Jsonl };

// Below 2^53 a double holds every integer exactly.
constexpr double kMaxExactInteger = 9007199254740992.0;

struct SignalsOptions {
    std::string settings_file;
    unsigned data_id = 1;
    bool data_id_given = false;
    Format format = Format::Table;
    bool help = false;
};

std::vector<kv830cli::Option> option_table(SignalsOptions& o) {
    return {
        {"settings", 0,   "FILE",
         "the settings document whose \"signals\" apply\n(/etc/kv830/kv830-host.json when it "
         "exists)",                                                                              [&o](const std::string& v, std::string&) {
             o.settings_file = v;
             return true;
         }},
        {"data-id",  0,   "N",
         "the device's data id (1); with a \"devices\" list, print\nthis device only",           [&o](const std::string& v, std::string& error) {
             long long n = 0;
             if (!kv830cli::parse_decimal(v, 0, static_cast<long long>(kMaxDataId), n)) {
                 error = "needs a number from 0 to 4294967295, not \"" + v + "\"";
                 return false;
             }
             o.data_id = static_cast<unsigned>(n);
             o.data_id_given = true;
             return true;
         }},
        {"format",   0,   "table|csv|jsonl",
         "a table aligned for reading (default), CSV with a header,\nor one JSON object a line", [&o](const std::string& v, std::string& error) {
             if (v == "table") {
                 o.format = Format::Table;
             } else if (v == "csv") {
                 o.format = Format::Csv;
             } else if (v == "jsonl") {
                 o.format = Format::Jsonl;
             } else {
                 error = "needs table, csv or jsonl, not \"" + v + "\"";
                 return false;
             }
             return true;
         }},
        {"help",     'h', nullptr,           "this text",
         [&o](const std::string&,                                                                                           std::string&) {
             o.help = true;
             return true;
         }                                                                                          },
    };
}

const char* const kUsage =
    "Usage: kv830-host signals [--settings FILE] [--format table|csv|jsonl]\n"
    "\n"
    "Prints every signal as the gateway presents it: its quantity, unit of measurement,\n"
    "scale (value = counts * scale + offset), decimals, range, and whether it is a\n"
    "setting or an alarm. The defaults are the plant model's; the settings document's\n"
    "\"signals\" override them (docs/signals.md). Check them against the controller's\n"
    "documentation before the values are relied on.";
const char* const kEpilogue =
    "Exit status: 0 printed, 1 the output failed, 2 bad command line or settings file.\n";

const char* kind_name(kv830::SignalKind kind) {
    switch (kind) {
        case kv830::SignalKind::Bit:
            return "bit";
        case kv830::SignalKind::Value:
            return "value";
        case kv830::SignalKind::Enum:
            return "enum";
        case kv830::SignalKind::Input:
            return "input";
    }
    return "";
}

// Twelve significant digits: 0.1, not 0.10000000000000001.
std::string number_text(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.12g", v);
    return text;
}

// One field of a listed signal, as text; an empty Number or Optional field is null.
struct Field {
    const char* name;
    std::string text;
    enum class Type { Text, Optional, Number, Flag } type;
};

const std::string& field(const std::vector<Field>& fields, const char* name) {
    for (const Field& f : fields) {
        if (std::string(f.name) == name) {
            return f.text;
        }
    }
    static const std::string none;
    return none;
}

std::vector<Field> fields_of(unsigned data_id, const SignalTraits& s) {
    using T = Field::Type;
    const kv830::SignalRow& row = *s.row;
    const bool input = row.kind == kv830::SignalKind::Input;
    const bool bit = row.kind == kv830::SignalKind::Bit;
    // Bits, inputs and enumerations are not scaled: they show their texts.
    const bool scaled = row.kind == kv830::SignalKind::Value;
    const auto if_scaled = [scaled](std::string text) { return scaled ? text : std::string(); };
    std::string texts;
    if (row.text0 != nullptr && row.text1 != nullptr) {
        texts = std::string("0 ") + row.text0 + ", 1 " + row.text1;
    }
    return {
        {"data_id",             std::to_string(data_id),                    T::Number  },
        {"name",                row.key,                                    T::Text    },
        {"kind",                kind_name(row.kind),                        T::Text    },
        {"register",            input ? "" : std::to_string(row.source),    T::Number  },
        {"input",               input ? std::to_string(row.source) : "",    T::Number  },
        {"bit",                 bit ? std::to_string(row.bit) : "",         T::Number  },
        {"quantity",            kv830model::quantity_info(s.quantity).name, T::Text    },
        {"unit_of_measurement", s.unit_of_measurement,                      T::Text    },
        {"scale",               if_scaled(number_text(s.scale)),            T::Number  },
        {"offset",              if_scaled(number_text(s.offset)),           T::Number  },
        {"decimals",            if_scaled(std::to_string(s.decimals)),      T::Number  },
        {"signed",              if_scaled(s.is_signed ? "true" : "false"),  T::Flag    },
        {"min",                 if_scaled(number_text(s.min)),              T::Number  },
        {"max",                 if_scaled(number_text(s.max)),              T::Number  },
        {"plant_unit",          kv830::unit_heading(row.unit),              T::Text    },
        {"setting",             row.setting ? "true" : "false",             T::Flag    },
        {"alarm",               kv830model::alarm_name(s.alarm),            T::Optional},
        {"texts",               texts,                                      T::Optional},
        {"origin",              s.overridden ? "settings" : "default",      T::Text    },
    };
}

// Columns on a terminal: CJK characters take two.
std::size_t display_width(const std::string& text) {
    std::size_t width = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if ((c & 0xC0U) == 0x80U) {
            continue;
        }
        unsigned code = c;
        if (c >= 0xE0 && c < 0xF0 && i + 2 < text.size()) {
            code = ((c & 0x0FU) << 12) | ((static_cast<unsigned char>(text[i + 1]) & 0x3FU) << 6) |
                   (static_cast<unsigned char>(text[i + 2]) & 0x3FU);
        }
        const bool wide = (code >= 0x1100 && code <= 0x115F) ||
                          (code >= 0x2E80 && code <= 0xA4CF && code != 0x303F) ||
                          (code >= 0xAC00 && code <= 0xD7A3) ||
                          (code >= 0xF900 && code <= 0xFAFF) ||
                          (code >= 0xFE30 && code <= 0xFE4F) ||
                          (code >= 0xFF00 && code <= 0xFF60) || (code >= 0xFFE0 && code <= 0xFFE6);
        width += wide ? 2 : 1;
    }
    return width;
}

// The table shows the source and the range in one column each, to fit a wide terminal.
std::vector<std::string> table_cells(const std::vector<Field>& f) {
    const std::string& reg = field(f, "register");
    std::string source = reg.empty() ? "input " + field(f, "input") : "register " + reg;
    if (!field(f, "bit").empty()) {
        source += " bit " + field(f, "bit");
    }
    return {field(f, "name"),
            source,
            field(f, "kind"),
            field(f, "quantity"),
            field(f, "unit_of_measurement"),
            field(f, "scale"),
            field(f, "offset"),
            field(f, "decimals"),
            field(f, "signed") == "true" ? "signed" : "",
            field(f, "min").empty() ? "" : field(f, "min") + " to " + field(f, "max"),
            field(f, "plant_unit"),
            field(f, "setting") == "true" ? "setting" : "",
            field(f, "alarm"),
            field(f, "texts"),
            field(f, "origin")};
}

const std::vector<std::string> kTableHeader = {
    "name",       "source",  "kind",     "quantity", "unit_of_measurement",
    "scale",      "offset",  "decimals", "signed",   "range",
    "plant unit", "setting", "alarm",    "texts",    "origin"};

void append_table(std::string& out, const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths(kTableHeader.size(), 0);
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) {
            widths[c] = std::max(widths[c], display_width(row[c]));
        }
    }
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) {
                line.append(widths[c] - display_width(row[c]) + 2, ' ');
            }
        }
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        out += line + "\n";
    }
}

std::string jsonl_line(const std::vector<Field>& fields) {
    Json::Value object(Json::objectValue);
    for (const Field& f : fields) {
        const bool null = f.text.empty() && f.type != Field::Type::Text;
        if (null) {
            object[f.name] = Json::Value(Json::nullValue);
        } else if (f.type == Field::Type::Number) {
            const double v = std::stod(f.text);
            const bool whole = std::fabs(v) < kMaxExactInteger && v == std::trunc(v);
            object[f.name] = whole ? Json::Value(static_cast<Json::Int64>(v)) : Json::Value(v);
        } else if (f.type == Field::Type::Flag) {
            object[f.name] = f.text == "true";
        } else {
            object[f.name] = f.text;
        }
    }
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    builder["precision"] = 12;
    return Json::writeString(builder, object) + "\n";
}

void append_csv_line(std::string& text, const std::vector<Field>& fields, bool header) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
        text += i == 0 ? "" : ",";
        append_csv_text(text, header ? std::string(fields[i].name) : fields[i].text);
    }
    text += "\n";
}

// The devices the document describes, the one asked for with --data-id when it lists them.
bool read_devices(const SignalsOptions& o, std::vector<DeviceOptions>& devices, bool& listed,
                  std::string& error) {
    if (!read_settings_devices(o.settings_file, devices, listed, error)) {
        return false;
    }
    if (!listed) {
        devices.front().data_id = o.data_id;
        return true;
    }
    if (!o.data_id_given) {
        return true;
    }
    for (DeviceOptions& d : devices) {
        if (d.data_id == o.data_id) {
            DeviceOptions picked = std::move(d);
            devices = {};
            devices.push_back(std::move(picked));
            return true;
        }
    }
    error =
        "--data-id: the settings file lists no device with data id " + std::to_string(o.data_id);
    return false;
}

}  // namespace

int run_signals(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                const std::string& default_settings_file) {
    SignalsOptions o;
    const std::vector<kv830cli::Option> table = option_table(o);
    std::vector<std::string> positional;
    std::string error;
    if (kv830cli::parse_command_line(table, argc, argv, positional, error) && !positional.empty()) {
        error = "unexpected argument \"" + positional.front() + "\"";
    }
    if (!error.empty()) {
        err << "kv830-host signals: " << error << "\n(try kv830-host signals --help)" << std::endl;
        return kExitUsage;
    }
    if (o.help) {
        out << kv830cli::format_help(table, kUsage, kEpilogue);
        out.flush();
        return out ? kExitOk : kExitFailure;
    }
    if (o.settings_file.empty() && !default_settings_file.empty() &&
        ::access(default_settings_file.c_str(), F_OK) == 0) {
        o.settings_file = default_settings_file;
    }
    std::vector<DeviceOptions> devices;
    bool listed = false;
    if (!read_devices(o, devices, listed, error)) {
        err << "kv830-host signals: " << error << std::endl;
        return kExitUsage;
    }
    std::string text;
    for (const DeviceOptions& d : devices) {
        if (o.format == Format::Table && listed) {
            text += (&d == &devices.front() ? "" : "\n") + std::string("data id ") +
                    std::to_string(d.data_id) + ":\n";
        }
        std::vector<std::vector<std::string>> rows = {kTableHeader};
        for (const SignalTraits& s : d.gateway.signals.signals()) {
            const std::vector<Field> fields = fields_of(d.data_id, s);
            if (o.format == Format::Table) {
                rows.push_back(table_cells(fields));
            } else if (o.format == Format::Jsonl) {
                text += jsonl_line(fields);
            } else {
                if (text.empty()) {
                    append_csv_line(text, fields, true);
                }
                append_csv_line(text, fields, false);
            }
        }
        if (o.format == Format::Table) {
            append_table(text, rows);
        }
    }
    out << text;
    out.flush();
    return out ? kExitOk : kExitFailure;
}

}  // namespace kv830host
