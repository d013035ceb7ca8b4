// The simulated world of key media: types, their devices, passwords and keys, kept
// in a JSON file (schema in standins/tavrellib/README.md).
#pragma once

#include <ctime>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "crypto.h"
#include "kt_constants.h"
#include "tavrel_standin.h"

namespace tavrel_standin {

struct world_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Longest type name and serial the library reports, and longest password (the
// library's sizes count the NUL).
constexpr size_t world_max_text = KT_KEY_MEDIA_NAME_MAX_LENGTH - 1;
constexpr size_t world_max_password = KT_PASS_MAX_LENGTH - 1;

struct validity {
    time_t not_before;
    time_t not_after;
};

// A private key kept on a medium under a label, behind a password of its own.
struct named_key {
    std::string label;     // Windows-1251 bytes, as the library receives them
    std::string password;  // Windows-1251 bytes, compared byte for byte
    key_pem key;
};

struct device {
    std::string serial;    // reported as the device's description
    std::string password;  // what the medium accepts
    std::optional<validity> key_validity;  // of certificates made for it; none: now + 2 years
    std::optional<key_pem> key;
    std::vector<named_key> named_keys;  // in the order they were made
};

struct media_type {
    std::string name;  // Windows-1251 bytes, as the library reports them
    std::vector<device> devices;
};

struct world {
    std::vector<media_type> types;
};

// Parses a world; keys given as "generate" are made now, and `*generated` tells so.
world parse_world(const std::string &json, bool *generated);
std::string world_to_json(const world &w);

// The built-in world, keys made.
world default_world();

// The validity of certificates made for `d`: its own, or from now for two years.
validity certificate_validity(const device &d);

// A new key and certificate for `d`, within its validity or from now for two years.
key_pem make_device_key(const device &d);

// ~/.tavrel-standin/world.json
std::string default_world_path();

// Reads the world at `path`; a missing file gets the built-in world, written there
// (with `create_parent`, its folder is made first). A world whose keys were made
// while reading is written back.
world load_world(const std::string &path, bool create_parent);

// Rewrites the file atomically: temporary file, fsync, rename, fsync of the folder.
// Temporary files left beside it by writers that were ended meanwhile are removed first.
void save_world(const std::string &path, const world &w);

// How a read of a whole file ended.
enum class file_read { ok, missing, not_regular, too_large, failed };

// Reads the regular file at `path` whole, at most TAVREL_STANDIN_MAX_FILE_SIZE bytes:
// every file the stand-in reads goes through here. The open never waits (a FIFO with
// no writer), and anything but a regular file is refused before a byte is read. On a
// failure other than not_regular and too_large, errno tells why.
file_read read_regular_file(const std::string &path, bytes *out);

// "2021-03-01T08:05:09" (UTC) <-> time_t; parse returns false on a malformed text.
bool parse_time(const std::string &text, time_t *out);
std::string format_time(time_t t);

}  // namespace tavrel_standin
