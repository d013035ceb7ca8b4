#include "controls.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "kt_api.h"
#include "tavrel_standin.h"

namespace tavrel_standin {
namespace {

// Whether each function reports a status that a fault can replace.
constexpr bool returns_status[] = {
#define KT_FN(name, result, params) std::is_same_v<result, DWORD>,
#define KT_FN_ANY(name) true,
#include "kt_functions.def"
#undef KT_FN
#undef KT_FN_ANY
};
static_assert(sizeof(returns_status) / sizeof(returns_status[0]) == kt_function_count);

struct function_control {
    unsigned long calls = 0;
    bool faulty = false;
    DWORD fault_status = 0;
    unsigned long fault_after = 0;  // calls still let through before the fault
    unsigned long delay_ms = 0;
};

struct controls {
    std::mutex lock;
    function_control functions[kt_function_count];
    bool long_signatures = false;
    unsigned long write_pause_ms = 0;
    bool trace_releases = false;
    std::string trace_path;
    bool trace_path_set = false;
    std::string applied_faults;  // environment texts already applied
    std::string applied_delays;
    std::string applied_long;
    std::string applied_write_pause;
};

controls &state() {
    static controls instance;
    return instance;
}

// Slot of a function name, or -1.
long slot_of(const char *function) {
    static const std::unordered_map<std::string_view, long> slots = [] {
        std::unordered_map<std::string_view, long> map;
        for (size_t i = 0; i < kt_function_count; ++i) map.emplace(kt_function_names[i], long(i));
        return map;
    }();
    if (!function) return -1;
    auto it = slots.find(function);
    return it == slots.end() ? -1 : it->second;
}

// Counts the call and takes the delay and the injected status under the lock.
DWORD count_call(const char *function, bool with_status, unsigned long *delay_ms) {
    long slot = slot_of(function);
    *delay_ms = 0;
    if (slot < 0) return 0;
    controls &c = state();
    std::lock_guard<std::mutex> guard(c.lock);
    function_control &f = c.functions[slot];
    ++f.calls;
    *delay_ms = f.delay_ms;
    if (!with_status || !f.faulty) return 0;
    if (f.fault_after > 0) {
        --f.fault_after;
        return 0;
    }
    return f.fault_status;
}

void sleep_ms(unsigned long ms) {
    if (ms) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Parses "Name=value[@after]" items separated by commas; `with_after` allows "@after".
struct control_item {
    long slot;
    unsigned long value;
    unsigned long after;
};

bool parse_number(std::string_view text, unsigned long *out) {
    if (text.empty() || text.size() > 30) return false;
    std::string copy(text);
    char *end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(copy.c_str(), &end, 0);
    if (errno || *end || copy[0] == '-') return false;
    *out = value;
    return true;
}

bool parse_items(const std::string &text, bool with_after, std::vector<control_item> *items) {
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t comma = text.find(',', pos);
        std::string_view item(text.data() + pos, (comma == std::string::npos ? text.size() : comma) - pos);
        pos = comma == std::string::npos ? text.size() + 1 : comma + 1;
        if (item.empty()) continue;
        size_t eq = item.find('=');
        if (eq == std::string_view::npos) return false;
        std::string name(item.substr(0, eq));
        std::string_view value = item.substr(eq + 1);
        control_item parsed{slot_of(name.c_str()), 0, 0};
        if (parsed.slot < 0) return false;
        size_t at = value.find('@');
        if (at != std::string_view::npos) {
            if (!with_after || !parse_number(value.substr(at + 1), &parsed.after)) return false;
            value = value.substr(0, at);
        }
        if (!parse_number(value, &parsed.value)) return false;
        if (with_after && !returns_status[parsed.slot]) return false;
        items->push_back(parsed);
    }
    return true;
}

}  // namespace

DWORD enter(const char *function) noexcept {
    unsigned long delay = 0;
    DWORD status = count_call(function, true, &delay);
    trace_line(function);
    sleep_ms(delay);
    return status;
}

void note_call(const char *function) noexcept {
    unsigned long delay = 0;
    count_call(function, false, &delay);
    trace_line(function);
    sleep_ms(delay);
}

void trace_line(const char *line) noexcept {
    char path[4096];
    {
        controls &c = state();
        std::lock_guard<std::mutex> guard(c.lock);
        if (c.trace_path_set) {
            if (c.trace_path.size() >= sizeof path) return;
            std::memcpy(path, c.trace_path.c_str(), c.trace_path.size() + 1);
        } else {
            const char *env = std::getenv("TAVREL_STANDIN_TRACE");
            if (!env || std::strlen(env) >= sizeof path) return;
            std::strcpy(path, env);
        }
    }
    if (!path[0]) return;
    // One write of the whole line: O_APPEND keeps lines of several processes whole.
    std::string text;
    try {
        text = std::string(line) + "\n";
    } catch (...) {
        return;
    }
    int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t written = ::write(fd, text.data(), text.size());
    (void)written;
    ::close(fd);
}

DWORD apply_environment() noexcept {
    try {
        const char *faults_env = std::getenv("TAVREL_STANDIN_FAULTS");
        const char *delays_env = std::getenv("TAVREL_STANDIN_DELAYS");
        const char *long_env = std::getenv("TAVREL_STANDIN_LONG_SIGNATURES");
        const char *pause_env = std::getenv("TAVREL_STANDIN_WRITE_PAUSE");
        std::string faults = faults_env ? faults_env : "";
        std::string delays = delays_env ? delays_env : "";
        std::string long_text = long_env ? long_env : "";
        std::string pause_text = pause_env ? pause_env : "";

        std::vector<control_item> fault_items, delay_items;
        if (!parse_items(faults, true, &fault_items) || !parse_items(delays, false, &delay_items))
            return TAVREL_STANDIN_ERROR_CONTROL;
        if (!long_text.empty() && long_text != "0" && long_text != "1") return TAVREL_STANDIN_ERROR_CONTROL;
        unsigned long pause_ms = 0;
        if (!pause_text.empty() && !parse_number(pause_text, &pause_ms)) return TAVREL_STANDIN_ERROR_CONTROL;

        controls &c = state();
        std::lock_guard<std::mutex> guard(c.lock);
        if (faults != c.applied_faults) {
            for (const control_item &item : fault_items) {
                function_control &f = c.functions[item.slot];
                f.faulty = true;
                f.fault_status = item.value;
                f.fault_after = item.after;
            }
            c.applied_faults = faults;
        }
        if (delays != c.applied_delays) {
            for (const control_item &item : delay_items) c.functions[item.slot].delay_ms = item.value;
            c.applied_delays = delays;
        }
        if (long_text != c.applied_long) {
            if (!long_text.empty()) c.long_signatures = long_text == "1";
            c.applied_long = long_text;
        }
        if (pause_text != c.applied_write_pause) {
            c.write_pause_ms = pause_ms;
            c.applied_write_pause = pause_text;
        }
        return 0;
    } catch (...) {
        return KT_ERROR_RESOURCE_FAILED;
    }
}

bool long_signatures() noexcept {
    controls &c = state();
    std::lock_guard<std::mutex> guard(c.lock);
    return c.long_signatures;
}

bool write_paused() noexcept {
    controls &c = state();
    std::lock_guard<std::mutex> guard(c.lock);
    return c.write_pause_ms != 0;
}

void pause_write(const char *path) noexcept {
    unsigned long pause = 0;
    {
        controls &c = state();
        std::lock_guard<std::mutex> guard(c.lock);
        pause = c.write_pause_ms;
    }
    try {
        trace_line(("half-written " + std::string(path)).c_str());
    } catch (...) {
        // the pause still holds the write
    }
    sleep_ms(pause);
}

bool trace_releases() noexcept {
    controls &c = state();
    std::lock_guard<std::mutex> guard(c.lock);
    return c.trace_releases;
}

}  // namespace tavrel_standin

using tavrel_standin::slot_of;
using tavrel_standin::state;

extern "C" {

int TavrelStandin_SetFault(const char *function, unsigned long status, unsigned long after) {
    long slot = slot_of(function);
    if (slot < 0 || !tavrel_standin::returns_status[slot]) return -1;
    auto &c = state();
    std::lock_guard<std::mutex> guard(c.lock);
    auto &f = c.functions[slot];
    f.faulty = true;
    f.fault_status = status;
    f.fault_after = after;
    return 0;
}

void TavrelStandin_ClearFaults(void) {
    auto &c = state();
    std::lock_guard<std::mutex> guard(c.lock);
    for (auto &f : c.functions) f.faulty = false;
}

int TavrelStandin_SetDelay(const char *function, unsigned long milliseconds) {
    long slot = slot_of(function);
    if (slot < 0) return -1;
    auto &c = state();
    std::lock_guard<std::mutex> guard(c.lock);
    c.functions[slot].delay_ms = milliseconds;
    return 0;
}

void TavrelStandin_ClearDelays(void) {
    auto &c = state();
    std::lock_guard<std::mutex> guard(c.lock);
    for (auto &f : c.functions) f.delay_ms = 0;
}

unsigned long TavrelStandin_CallCount(const char *function) {
    long slot = slot_of(function);
    if (slot < 0) return 0;
    auto &c = state();
    std::lock_guard<std::mutex> guard(c.lock);
    return c.functions[slot].calls;
}

void TavrelStandin_ResetCallCounts(void) {
    auto &c = state();
    std::lock_guard<std::mutex> guard(c.lock);
    for (auto &f : c.functions) f.calls = 0;
}

void TavrelStandin_SetTracePath(const char *path) {
    auto &c = state();
    std::lock_guard<std::mutex> guard(c.lock);
    c.trace_path_set = path != nullptr;
    c.trace_path = path ? path : "";
}

void TavrelStandin_SetLongSignatures(int on) {
    auto &c = state();
    std::lock_guard<std::mutex> guard(c.lock);
    c.long_signatures = on != 0;
}

void TavrelStandin_SetReleaseTrace(int on) {
    auto &c = state();
    std::lock_guard<std::mutex> guard(c.lock);
    c.trace_releases = on != 0;
}

}  // extern "C"

namespace tavrel_standin {

void reset_controls() noexcept {
    controls &c = state();
    std::lock_guard<std::mutex> guard(c.lock);
    for (auto &f : c.functions) f = function_control{};
    c.long_signatures = false;
    c.write_pause_ms = 0;
    c.trace_releases = false;
    c.trace_path_set = false;
    c.trace_path.clear();
    c.applied_faults.clear();
    c.applied_delays.clear();
    c.applied_long.clear();
    c.applied_write_pause.clear();
}

long function_slot(const char *function) noexcept {
    try {
        return slot_of(function);
    } catch (...) {
        return -1;
    }
}

}  // namespace tavrel_standin
