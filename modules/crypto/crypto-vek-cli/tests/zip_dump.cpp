// vek-cli-zip-dump ARCHIVE DIR: lists the entries (index, name, size, tab-separated) and
// writes each entry's bytes to DIR/<index>. For the shell tests.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "zip_entries.h"

int main(int argc, char **argv) {
    if (argc != 3) return 2;
    std::vector<zip_entries::entry> entries;
    if (!zip_entries::read(argv[1], &entries)) return 1;
    for (size_t i = 0; i < entries.size(); ++i) {
        std::printf("%zu\t%s\t%zu\n", i, entries[i].first.c_str(), entries[i].second.size());
        std::ofstream(std::string(argv[2]) + "/" + std::to_string(i), std::ios::binary) << entries[i].second;
    }
    return 0;
}
