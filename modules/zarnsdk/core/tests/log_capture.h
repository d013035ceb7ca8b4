// Test logger: LogOpen2, LogWrite and LogClose that keep what they were given in memory.
#pragma once

#include <string>
#include <vector>

namespace log_capture {

struct line {
    int level;
    std::string function;
    std::string text;
    std::string source;
};

struct event {         // LogOpen2 and LogClose, in call order
    std::string what;  // "open" or "close"
    std::string name;
    int level;
    int flags;
};

std::vector<line> lines();
std::vector<event> events();
void clear();

// Lines whose function and text are exactly these.
size_t count(const std::string &function, const std::string &text);
// Whether some line of `level` in `function` starts with `prefix`.
bool has_prefix(int level, const std::string &function, const std::string &prefix);

}  // namespace log_capture
