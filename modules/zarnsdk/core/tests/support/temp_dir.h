// Test helper shared by the tests of the tool, the plug-in and the support code: a
// fresh folder under the system's temporary folder, removed with everything in it.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace zarn_test {

class temp_dir {
public:
    explicit temp_dir(const std::string &prefix = "vek-test") {
        std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (!mkdtemp(&pattern[0])) std::abort();
        root = pattern;
    }
    ~temp_dir() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;

    const std::string &path() const { return root; }
    std::string file(const std::string &name) const { return root + "/" + name; }
    // Writes `bytes` to `name` and returns its path.
    std::string write(const std::string &name, const std::string &bytes) const {
        const std::string path = file(name);
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    // The bytes of `name`; empty when it cannot be read.
    std::string read(const std::string &name) const {
        std::ifstream in(file(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::string root;
};

}  // namespace zarn_test
