#include "csv_text.h"

namespace kv830host {

void append_csv_text(std::string& line, const char* begin, const char* end) {
    bool quote = false;
    for (const char* p = begin; p != end; ++p) {
        quote = quote || *p == ',' || *p == '"' || *p == '\n' || *p == '\r';
    }
    if (!quote) {
        line.append(begin, end);
        return;
    }
    line += '"';
    for (const char* p = begin; p != end; ++p) {
        if (*p == '"') {
            line += '"';
        }
        line += *p;
    }
    line += '"';
}

}  // namespace kv830host
