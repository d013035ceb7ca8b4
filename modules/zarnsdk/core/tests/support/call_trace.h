// Test helper: the stand-in library's call trace, one called function a line.
#pragma once

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

namespace zarn_test {

inline std::vector<std::string> trace_lines(const std::string &path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The `count` calls that follow the first `call` in the trace at `path` (fewer when
// the trace ends first; none when `call` is not there).
inline std::vector<std::string> calls_after(const std::string &path, const std::string &call, size_t count) {
    const std::vector<std::string> lines = trace_lines(path);
    auto at = std::find(lines.begin(), lines.end(), call);
    if (at == lines.end()) return {};
    ++at;
    return std::vector<std::string>(at, at + static_cast<long>(std::min<size_t>(count, lines.end() - at)));
}

}  // namespace zarn_test
