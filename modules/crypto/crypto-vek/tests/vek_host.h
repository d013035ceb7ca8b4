// A host of libsignvek.so as a real one is: it loads the plug-in with dlopen and calls
// its exports. Also a recorder of sign handler calls and a reader of the plug-in's log.
#pragma once

#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "jotlog_lines.h"
#include "signvek.h"

namespace vek_host {

// The ten exports, looked up by name.
struct exports {
    decltype(&::CryptoLogOpen) LogOpen;
    decltype(&::CryptoLogClose) LogClose;
    decltype(&::CryptoProviderOpen) Open;
    decltype(&::CryptoProviderStart) Start;
    decltype(&::CryptoProviderStop) Stop;
    decltype(&::CryptoProviderClose) Close;
    decltype(&::CryptoProviderGetCrt) GetCrt;
    decltype(&::CryptoProviderHash) Hash;
    decltype(&::CryptoProviderSign) Sign;
    decltype(&::CryptoProviderCollectStats) CollectStats;
};

// Where the plug-in logs (JOTLOG_FILE): set before the plug-in logs its first line.
// A file this process named is removed at exit.
inline const std::string &log_path() {
    struct log_file {
        std::string path;
        bool made;
        ~log_file() {
            if (made) unlink(path.c_str());
        }
    };
    static const log_file file = [] {
        const char *given = std::getenv("JOTLOG_FILE");
        if (given && *given) return log_file{given, false};
        const std::string made = "/tmp/vek-host-" + std::to_string(getpid()) + ".log";
        setenv("JOTLOG_FILE", made.c_str(), 1);
        return log_file{made, true};
    }();
    return file.path;
}

// Loads the plug-in; with `logToFile` its log goes to log_path(), else nowhere.
inline void *open_plugin(bool logToFile = true) {
    if (logToFile)
        log_path();
    else
        unsetenv("JOTLOG_FILE");
    void *handle = dlopen(VEK_SIGNVEK_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        std::printf("cannot load %s: %s\n", VEK_SIGNVEK_PATH, dlerror());
        std::exit(2);
    }
    return handle;
}

inline exports bind(void *handle) {
    auto need = [handle](const char *name) {
        void *symbol = dlsym(handle, name);
        if (!symbol) {
            std::printf("%s does not export %s\n", VEK_SIGNVEK_PATH, name);
            std::exit(2);
        }
        return symbol;
    };
    exports e;
    e.LogOpen = reinterpret_cast<decltype(e.LogOpen)>(need("CryptoLogOpen"));
    e.LogClose = reinterpret_cast<decltype(e.LogClose)>(need("CryptoLogClose"));
    e.Open = reinterpret_cast<decltype(e.Open)>(need("CryptoProviderOpen"));
    e.Start = reinterpret_cast<decltype(e.Start)>(need("CryptoProviderStart"));
    e.Stop = reinterpret_cast<decltype(e.Stop)>(need("CryptoProviderStop"));
    e.Close = reinterpret_cast<decltype(e.Close)>(need("CryptoProviderClose"));
    e.GetCrt = reinterpret_cast<decltype(e.GetCrt)>(need("CryptoProviderGetCrt"));
    e.Hash = reinterpret_cast<decltype(e.Hash)>(need("CryptoProviderHash"));
    e.Sign = reinterpret_cast<decltype(e.Sign)>(need("CryptoProviderSign"));
    e.CollectStats = reinterpret_cast<decltype(e.CollectStats)>(need("CryptoProviderCollectStats"));
    return e;
}

// The plug-in, loaded once for the process.
inline const exports &plugin() {
    static const exports e = bind(open_plugin());
    return e;
}

// Lines the plug-in logged since this reader was made.
class log_tail {
public:
    log_tail() : start(jotlog::read_lines(log_path()).size()) {}

    std::vector<jotlog::line> lines() const {
        std::vector<jotlog::line> all = jotlog::read_lines(log_path());
        return std::vector<jotlog::line>(all.begin() + static_cast<long>(std::min(start, all.size())), all.end());
    }
    // "<level> <function> <text>" of each line, optionally of one level only.
    std::vector<std::string> briefs(int level = 0) const {
        std::vector<std::string> out;
        for (const jotlog::line &l : lines())
            if (level == 0 || l.level == level) out.push_back(std::to_string(l.level) + " " + l.function + " " + l.text);
        return out;
    }
    size_t count(const std::string &brief) const {
        size_t n = 0;
        for (const std::string &b : briefs()) n += b == brief;
        return n;
    }

private:
    size_t start;
};

// One sign handler call.
struct answer {
    long id;  // the context, as a number
    int status;
    std::string blob;
    bool signGiven;  // a signature pointer was passed
    unsigned int signSize;
    std::string signature;  // the bytes, when a signature was passed
    bool onOtherThread;
};

// Records handler calls; the handler's context is the request's number.
class recorder {
public:
    static void handler(void *context, int status, const unsigned char *blob, unsigned int blobSize,
                        const unsigned char *sign, unsigned int signSize) {
        recorder &r = instance();
        answer a{reinterpret_cast<long>(context), status,
                 blob ? std::string(reinterpret_cast<const char *>(blob), blobSize) : std::string(),
                 sign != nullptr, signSize,
                 sign ? std::string(reinterpret_cast<const char *>(sign), signSize) : std::string(),
                 std::this_thread::get_id() != r.host};
        {
            std::lock_guard<std::mutex> hold(r.lock);
            r.answers.push_back(a);
        }
        r.changed.notify_all();
    }

    static recorder &instance() {
        static recorder r;
        return r;
    }

    void reset() {
        std::lock_guard<std::mutex> hold(lock);
        answers.clear();
        host = std::this_thread::get_id();
    }

    // Waits until `n` answers arrived (at most `seconds`); returns what arrived.
    std::vector<answer> wait_for(size_t n, int seconds = 20) {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait_for(hold, std::chrono::seconds(seconds), [&] { return answers.size() >= n; });
        return answers;
    }

    std::vector<answer> now() {
        std::lock_guard<std::mutex> hold(lock);
        return answers;
    }

private:
    std::mutex lock;
    std::condition_variable changed;
    std::vector<answer> answers;
    std::thread::id host;
};

inline void *context_of(long id) { return reinterpret_cast<void *>(id); }

// Signs `text` with the request number `id`, answered to the recorder.
inline int sign(const std::string &text, long id) {
    return plugin().Sign(reinterpret_cast<const unsigned char *>(text.data()), static_cast<unsigned int>(text.size()),
                         &recorder::handler, context_of(id));
}

// Accounts for signing requests: every accepted one must be answered exactly once, and
// no other. Thread-safe; handlers report through book().
class ledger {
public:
    void reset() {
        std::lock_guard<std::mutex> hold(lock);
        accepted.clear();
        answered.clear();
        next = 0;
    }
    long take_id() {
        std::lock_guard<std::mutex> hold(lock);
        return ++next;
    }
    void accept(long id) {
        std::lock_guard<std::mutex> hold(lock);
        accepted.push_back(id);
    }
    void answer(long id) {
        std::lock_guard<std::mutex> hold(lock);
        ++answered[id];
    }
    size_t accepted_count() {
        std::lock_guard<std::mutex> hold(lock);
        return accepted.size();
    }
    // Empty when the books balance, else what is wrong.
    std::string check() {
        std::lock_guard<std::mutex> hold(lock);
        std::map<long, int> expected;
        for (long id : accepted) ++expected[id];
        std::string wrong;
        for (const auto &e : expected) {
            const auto a = answered.find(e.first);
            const int n = a == answered.end() ? 0 : a->second;
            if (n != 1) wrong += "request " + std::to_string(e.first) + " answered " + std::to_string(n) + " times; ";
        }
        for (const auto &a : answered)
            if (!expected.count(a.first)) wrong += "request " + std::to_string(a.first) + " answered unaccepted; ";
        return wrong;
    }

private:
    std::mutex lock;
    long next = 0;
    std::vector<long> accepted;
    std::map<long, int> answered;
};

inline ledger &book() {
    static ledger b;
    return b;
}

// Submits a new request on the ledger; the status of CryptoProviderSign.
inline int submit(CryptoSignHandler handler, const std::string &text = "ledger") {
    const long id = book().take_id();
    const int status = plugin().Sign(reinterpret_cast<const unsigned char *>(text.data()),
                                     static_cast<unsigned int>(text.size()), handler, context_of(id));
    if (status == 0) book().accept(id);
    return status;
}

}  // namespace vek_host
