// Test helper: an archive's entries, read back with libzip.
#pragma once

#include <zip.h>

#include <string>
#include <utility>
#include <vector>

namespace zip_entries {

using entry = std::pair<std::string, std::string>;  // name, bytes

// The entries in archive order; false when the archive cannot be read.
inline bool read(const std::string &path, std::vector<entry> *entries) {
    int error = 0;
    zip_t *archive = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
    if (!archive) return false;
    bool ok = true;
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; ok && i < count; ++i) {
        zip_stat_t st;
        zip_file_t *file = nullptr;
        ok = zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &st) == 0 &&
             (file = zip_fopen_index(archive, static_cast<zip_uint64_t>(i), 0)) != nullptr;
        if (!ok) break;
        std::string bytes(static_cast<size_t>(st.size), '\0');
        ok = zip_fread(file, &bytes[0], st.size) == static_cast<zip_int64_t>(st.size);
        zip_fclose(file);
        entries->emplace_back(st.name, bytes);
    }
    zip_discard(archive);
    return ok;
}

}  // namespace zip_entries
