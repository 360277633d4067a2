#include "exit_status.h"

namespace kv830host {

std::string exit_status_help() {
    std::string text = "Exit status (when several apply, the lowest non-zero one):\n";
    for (const ExitStatusRow& row : kExitStatuses) {
        text += "  " + std::to_string(static_cast<int>(row.status)) + "  " + row.meaning + "\n";
    }
    return text;
}

}  // namespace kv830host
