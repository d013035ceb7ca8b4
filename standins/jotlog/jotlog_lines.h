// Test helper: reads back the stand-in logger's file as records.
#pragma once

#include <fstream>
#include <string>
#include <vector>

namespace jotlog {

struct line {
    int level = 0;
    std::string function;
    std::string text;
    std::string source;  // the source path as logged, without ":<line>"
    int lineNumber = 0;
};

inline std::vector<line> read_lines(const std::string &path) {
    std::vector<line> out;
    std::ifstream in(path);
    std::string raw;
    while (std::getline(in, raw)) {
        line l;
        const size_t a = raw.find('\t'), b = raw.find('\t', a + 1), c = raw.rfind('\t');
        if (a == std::string::npos || b == std::string::npos || c <= b) continue;
        l.level = std::stoi(raw.substr(0, a));
        l.function = raw.substr(a + 1, b - a - 1);
        l.text = raw.substr(b + 1, c - b - 1);
        const std::string where = raw.substr(c + 1);
        const size_t colon = where.rfind(':');
        l.source = where.substr(0, colon);
        l.lineNumber = colon == std::string::npos ? 0 : std::stoi(where.substr(colon + 1));
        out.push_back(l);
    }
    return out;
}

}  // namespace jotlog
