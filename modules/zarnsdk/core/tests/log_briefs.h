// Test helper over log_capture: captured lines as "<level> <function> <text>".
#pragma once

#include <string>
#include <vector>

#include "log_capture.h"

namespace log_capture {

// Lines since the last clear(), optionally only those of one level.
inline std::vector<std::string> briefs(int level = 0) {
    std::vector<std::string> out;
    for (const line &each : lines())
        if (level == 0 || each.level == level)
            out.push_back(std::to_string(each.level) + " " + each.function + " " + each.text);
    return out;
}

}  // namespace log_capture
