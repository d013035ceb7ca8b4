#include "world.h"

#include <cjson/cJSON.h>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "cp1251.h"

namespace tavrel_standin {
namespace {

struct json_deleter {
    void operator()(cJSON *j) const { cJSON_Delete(j); }
};
using json_ptr = std::unique_ptr<cJSON, json_deleter>;

constexpr time_t two_years = 730L * 24 * 3600;

[[noreturn]] void invalid(const std::string &what) { throw world_error("world: " + what); }

const cJSON *member(const cJSON *object, const char *name) { return cJSON_GetObjectItemCaseSensitive(object, name); }

std::string text_member(const cJSON *object, const char *name, const std::string &where, bool required) {
    const cJSON *item = member(object, name);
    if (!item) {
        if (required) invalid(where + ": \"" + name + "\" is missing");
        return {};
    }
    if (!cJSON_IsString(item)) invalid(where + ": \"" + name + "\" is not a text");
    return item->valuestring;
}

// A Windows-1251 text kept as `name` (UTF-8) or, when it is no valid Windows-1251,
// as `name`-cp1251-hex; exactly one of the two is required.
std::string cp1251_member(const cJSON *object, const std::string &name, const std::string &where) {
    const std::string hex_name = name + "-cp1251-hex";
    const cJSON *text = member(object, name.c_str());
    const cJSON *hexed = member(object, hex_name.c_str());
    if (!text == !hexed) invalid(where + ": give one of \"" + name + "\" and \"" + hex_name + "\"");
    std::string cp1251;
    if (hexed) {
        if (!from_hex(text_member(object, hex_name.c_str(), where, true), &cp1251))
            invalid(where + ": \"" + hex_name + "\" is not pairs of hexadecimal digits");
        return cp1251;
    }
    if (!utf8_to_cp1251(text_member(object, name.c_str(), where, true), &cp1251))
        invalid(where + ": \"" + name + "\" has characters outside Windows-1251");
    return cp1251;
}

validity parse_validity(const cJSON *item, const std::string &where) {
    if (!cJSON_IsObject(item)) invalid(where + ": \"validity\" is not an object");
    validity v{};
    if (!parse_time(text_member(item, "not-before", where, true), &v.not_before))
        invalid(where + ": \"not-before\" is not a time like 2021-03-01T08:05:09");
    std::string after = text_member(item, "not-after", where, false);
    if (after.empty()) {
        v.not_after = v.not_before + two_years;
    } else if (!parse_time(after, &v.not_after)) {
        invalid(where + ": \"not-after\" is not a time like 2021-03-01T08:05:09");
    }
    if (v.not_after <= v.not_before) invalid(where + ": \"not-after\" is not after \"not-before\"");
    return v;
}

key_pem parse_key_pem(const cJSON *item, const std::string &where) {
    key_pem pem{text_member(item, "private-key", where, true), text_member(item, "certificate", where, true)};
    try {
        material_from_pem(pem);
    } catch (const crypto_error &e) {
        invalid(where + ": " + e.what());
    }
    return pem;
}

std::vector<named_key> parse_named_keys(const cJSON *list, const std::string &where) {
    std::vector<named_key> keys;
    if (!list) return keys;
    if (!cJSON_IsArray(list)) invalid(where + " is not an array");
    const cJSON *item = nullptr;
    cJSON_ArrayForEach(item, list) {
        std::string at = where + "[" + std::to_string(keys.size()) + "]";
        if (!cJSON_IsObject(item)) invalid(at + " is not an object");
        named_key k{cp1251_member(item, "label", at), cp1251_member(item, "password", at), parse_key_pem(item, at)};
        if (k.label.empty()) invalid(at + ": the label is empty");
        for (const named_key &other : keys)
            if (other.label == k.label) invalid(at + ": the label is used twice");
        keys.push_back(std::move(k));
    }
    return keys;
}

device parse_device(const cJSON *item, const std::string &where, bool *generated) {
    if (!cJSON_IsObject(item)) invalid(where + " is not an object");
    device d;
    d.serial = text_member(item, "serial", where, true);
    d.password = text_member(item, "password", where, true);
    if (d.serial.empty() || d.serial.size() > world_max_text) invalid(where + ": \"serial\" must have 1 to 256 bytes");
    if (d.password.size() > world_max_password) invalid(where + ": \"password\" is longer than 64 bytes");
    if (const cJSON *v = member(item, "validity")) d.key_validity = parse_validity(v, where);
    d.named_keys = parse_named_keys(member(item, "named-keys"), where + ".named-keys");

    const cJSON *key = member(item, "key");
    if (!key || cJSON_IsNull(key)) return d;
    if (cJSON_IsString(key)) {
        if (std::strcmp(key->valuestring, "generate") != 0) invalid(where + ": \"key\" text must be \"generate\"");
        d.key = make_device_key(d);
        *generated = true;
        return d;
    }
    if (!cJSON_IsObject(key)) invalid(where + ": \"key\" must be null, \"generate\" or an object");
    d.key = parse_key_pem(key, where + ".key");
    return d;
}

media_type parse_type(const cJSON *item, const std::string &where, bool *generated) {
    if (!cJSON_IsObject(item)) invalid(where + " is not an object");
    media_type t;
    t.name = cp1251_member(item, "name", where);
    if (t.name.empty() || t.name.size() > world_max_text || t.name.find('\0') != std::string::npos)
        invalid(where + ": the name must have 1 to 256 bytes and no NUL");
    const cJSON *devices = member(item, "devices");
    if (devices && !cJSON_IsArray(devices)) invalid(where + ": \"devices\" is not an array");
    int index = 0;
    const cJSON *d = nullptr;
    cJSON_ArrayForEach(d, devices) {
        t.devices.push_back(parse_device(d, where + ".devices[" + std::to_string(index++) + "]", generated));
    }
    return t;
}

cJSON *add(cJSON *object, const char *name, cJSON *item) {
    if (!item || !cJSON_AddItemToObject(object, name, item)) {
        cJSON_Delete(item);
        throw std::bad_alloc();
    }
    return item;
}

cJSON *add_text(cJSON *object, const char *name, const std::string &text) {
    return add(object, name, cJSON_CreateString(text.c_str()));
}

// A new object at the end of `array`.
cJSON *append_object(cJSON *array) {
    cJSON *item = cJSON_CreateObject();
    if (!item || !cJSON_AddItemToArray(array, item)) {
        cJSON_Delete(item);
        throw std::bad_alloc();
    }
    return item;
}

void add_cp1251(cJSON *object, const std::string &name, const std::string &cp1251) {
    std::string utf8;
    if (cp1251_to_utf8(cp1251, &utf8)) add_text(object, name.c_str(), utf8);
    else add_text(object, (name + "-cp1251-hex").c_str(), hex(cp1251.data(), cp1251.size(), hex_case::lower));
}

void add_key_pem(cJSON *object, const key_pem &pem) {
    add_text(object, "private-key", pem.private_key);
    add_text(object, "certificate", pem.certificate);
}

std::string read_world_text(const std::string &path, bool *missing) {
    bytes text;
    const file_read result = read_regular_file(path, &text);
    *missing = result == file_read::missing;
    switch (result) {
    case file_read::ok: break;
    case file_read::missing: return {};
    case file_read::not_regular: invalid(path + ": not a regular file");
    case file_read::too_large: invalid(path + ": larger than the stand-in reads");
    case file_read::failed: invalid(path + ": " + std::strerror(errno));
    }
    return std::string(text.begin(), text.end());
}

std::string parent_of(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The process id of a temporary file "<pid>.<sequence>" that save_world names after
// `prefix`; 0 for any other name.
pid_t temporary_writer(const std::string &name, const std::string &prefix) {
    if (name.compare(0, prefix.size(), prefix) != 0) return 0;
    const std::string rest = name.substr(prefix.size());
    const size_t dot = rest.find('.');
    auto digits = [](const std::string &text) {
        return !text.empty() && text.size() <= 19 &&
               std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
    };
    if (dot == std::string::npos || !digits(rest.substr(0, dot)) || !digits(rest.substr(dot + 1))) return 0;
    const unsigned long long pid = std::stoull(rest.substr(0, dot));
    return pid > 0 && pid <= INT_MAX ? pid_t(pid) : 0;
}

// Removes the temporary files that writers of `path` left when they were ended before
// their rename (a signal): those of processes that no longer run. Another process's
// file, and this process's own, may be in use and stay.
void remove_stale_temporaries(const std::string &path) {
    const size_t slash = path.rfind('/');
    const std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".tmp.";
    DIR *folder = ::opendir(parent_of(path).c_str());
    if (!folder) return;
    while (const dirent *entry = ::readdir(folder)) {
        const pid_t writer = temporary_writer(entry->d_name, prefix);
        if (writer == 0 || writer == ::getpid()) continue;
        if (::kill(writer, 0) == 0 || errno != ESRCH) continue;  // alive, or not ours to tell
        ::unlinkat(::dirfd(folder), entry->d_name, 0);
    }
    ::closedir(folder);
}

}  // namespace

file_read read_regular_file(const std::string &path, bytes *out) {
    struct descriptor {
        int fd;
        ~descriptor() {
            const int error = errno;  // the caller reads why the read failed
            if (fd >= 0) ::close(fd);
            errno = error;
        }
    } file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    if (file.fd < 0) return errno == ENOENT ? file_read::missing : file_read::failed;
    struct stat st {};
    if (::fstat(file.fd, &st) != 0) return file_read::failed;
    if (!S_ISREG(st.st_mode)) return file_read::not_regular;
    constexpr size_t limit = TAVREL_STANDIN_MAX_FILE_SIZE;
    if (static_cast<unsigned long long>(st.st_size) > limit) return file_read::too_large;
    // The file may grow meanwhile: room for one byte past the limit shows it.
    bytes data(std::min(limit + 1, size_t(st.st_size) + 4096));
    size_t done = 0;
    for (;;) {
        if (done == data.size()) {
            if (done > limit) return file_read::too_large;
            data.resize(std::min(limit + 1, done * 2));
        }
        const ssize_t n = ::read(file.fd, data.data() + done, data.size() - done);
        if (n == 0) break;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return file_read::failed;
        done += size_t(n);
    }
    data.resize(done);
    *out = std::move(data);
    return file_read::ok;
}

bool parse_time(const std::string &text, time_t *out) {
    struct tm tm {};
    char tail = 0;
    int n = std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                        &tm.tm_min, &tm.tm_sec, &tail);
    if (n != 6 && !(n == 7 && tail == 'Z' && text.back() == 'Z' && text.size() == 20)) return false;
    if (text.size() < 19 || tm.tm_year < 1950 || tm.tm_year > 9999 || tm.tm_mon < 1 || tm.tm_mon > 12 ||
        tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 59)
        return false;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    struct tm check = tm;
    time_t t = timegm(&check);
    if (check.tm_mday != tm.tm_mday) return false;  // 31 February and its kin
    *out = t;
    return true;
}

std::string format_time(time_t t) {
    struct tm tm {};
    gmtime_r(&t, &tm);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

validity certificate_validity(const device &d) {
    if (d.key_validity) return *d.key_validity;
    time_t now = std::time(nullptr) - 60;
    return validity{now, now + two_years};
}

key_pem make_device_key(const device &d) {
    validity v = certificate_validity(d);
    return generate_key("Носій " + d.serial, v.not_before, v.not_after);
}

world parse_world(const std::string &json, bool *generated) {
    *generated = false;
    json_ptr root(cJSON_ParseWithLength(json.data(), json.size()));
    if (!root) invalid("not valid JSON");
    if (!cJSON_IsObject(root.get())) invalid("the top level is not an object");
    const cJSON *types = member(root.get(), "types");
    if (!cJSON_IsArray(types)) invalid("\"types\" is missing or not an array");
    world w;
    int index = 0;
    const cJSON *t = nullptr;
    cJSON_ArrayForEach(t, types) {
        w.types.push_back(parse_type(t, "types[" + std::to_string(index++) + "]", generated));
    }
    return w;
}

std::string world_to_json(const world &w) {
    json_ptr root(cJSON_CreateObject());
    if (!root) throw std::bad_alloc();
    cJSON *types = add(root.get(), "types", cJSON_CreateArray());
    for (const media_type &t : w.types) {
        cJSON *type = append_object(types);
        add_cp1251(type, "name", t.name);
        cJSON *devices = add(type, "devices", cJSON_CreateArray());
        for (const device &d : t.devices) {
            cJSON *dev = append_object(devices);
            add_text(dev, "serial", d.serial);
            add_text(dev, "password", d.password);
            if (d.key_validity) {
                cJSON *v = add(dev, "validity", cJSON_CreateObject());
                add_text(v, "not-before", format_time(d.key_validity->not_before));
                add_text(v, "not-after", format_time(d.key_validity->not_after));
            }
            if (d.key) {
                add_key_pem(add(dev, "key", cJSON_CreateObject()), *d.key);
            } else {
                add(dev, "key", cJSON_CreateNull());
            }
            if (!d.named_keys.empty()) {
                cJSON *named = add(dev, "named-keys", cJSON_CreateArray());
                for (const named_key &k : d.named_keys) {
                    cJSON *entry = append_object(named);
                    add_cp1251(entry, "label", k.label);
                    add_cp1251(entry, "password", k.password);
                    add_key_pem(entry, k.key);
                }
            }
        }
    }
    char *text = cJSON_Print(root.get());
    if (!text) throw std::bad_alloc();
    std::string out(text);
    cJSON_free(text);
    return out + "\n";
}

world default_world() {
    // Type names are in UTF-8 here; the world keeps them in Windows-1251.
    static const char *const json = R"({
  "types": [
    {"name": "е.ключ ВЕК Модра-1", "devices": [
      {"serial": "VM1-000001", "password": "11111111", "key": "generate"}
    ]},
    {"name": "е.ключ ВЕК Модра-1К", "devices": [
      {"serial": "VM1K-000101", "password": "12345678", "key": "generate",
       "validity": {"not-before": "2021-03-01T08:05:09", "not-after": "2031-03-01T08:05:09"}},
      {"serial": "VM1K-000102", "password": "12345678", "key": null},
      {"serial": "VM1K-000103", "password": "87654321", "key": "generate"}
    ]},
    {"name": "Файловий носій", "devices": [
      {"serial": "FS-000001", "password": "11111111", "key": null}
    ]}
  ]
})";
    bool generated = false;
    return parse_world(json, &generated);
}

std::string default_world_path() {
    const char *home = std::getenv("HOME");
    std::string dir;
    if (home && *home) {
        dir = home;
    } else {
        struct passwd pw, *found = nullptr;
        char buffer[4096];
        if (getpwuid_r(getuid(), &pw, buffer, sizeof buffer, &found) != 0 || !found) invalid("no home folder");
        dir = found->pw_dir;
    }
    return dir + "/.tavrel-standin/world.json";
}

world load_world(const std::string &path, bool create_parent) {
    bool missing = false;
    std::string text = read_world_text(path, &missing);
    if (missing) {
        if (create_parent && ::mkdir(parent_of(path).c_str(), 0700) != 0 && errno != EEXIST)
            invalid(parent_of(path) + ": " + std::strerror(errno));
        world w = default_world();
        save_world(path, w);
        return w;
    }
    bool generated = false;
    world w = parse_world(text, &generated);
    if (generated) save_world(path, w);
    return w;
}

void save_world(const std::string &path, const world &w) {
    static std::atomic<unsigned long> sequence{0};
    const std::string text = world_to_json(w);
    remove_stale_temporaries(path);
    const std::string temporary = path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(++sequence);
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) invalid(temporary + ": " + std::strerror(errno));
    size_t done = 0;
    bool ok = true;
    while (ok && done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += size_t(n);
    }
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        invalid(path + ": cannot be written: " + std::strerror(error));
    }
    int dir = ::open(parent_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

}  // namespace tavrel_standin
