// The exported functions: they hold the process's one provider, check their arguments,
// turn every failure into a status and log what they refuse. No exception leaves them.
#include "signvek.h"

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>

#include "vek_provider.h"
#include "zarn/support/exceptions.h"
#include "zarn/support/log.h"

#define VEK_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using Zarn::Support::Crypto::Vek::provider_like;

// The provider slot. Exports borrow the provider for the length of a call; closing
// empties the slot first and destroys the provider once no call borrows it, so a sign
// handler calling an export while the host closes finds either the provider or none.
// The slot takes a new provider only once the old one, and its library guard, are gone.
// Destroying the slot at unload or exit closes a provider that is still there.
class provider_slot {
public:
    ~provider_slot() { close(); }

    // A borrowed provider, or none; returned on destruction.
    class borrowed {
    public:
        explicit borrowed(provider_slot &slot) : slot(slot) {
            std::lock_guard<std::mutex> hold(slot.lock);
            provider = slot.provider.get();
            if (provider) ++slot.borrowers;
        }
        // Notifies under the lock: once the slot sees no borrowers it may be destroyed.
        ~borrowed() {
            if (!provider) return;
            std::lock_guard<std::mutex> hold(slot.lock);
            if (--slot.borrowers == 0) slot.returned.notify_all();
        }
        borrowed(const borrowed &) = delete;
        borrowed &operator=(const borrowed &) = delete;

        provider_like &operator*() const { return *provider; }
        explicit operator bool() const { return provider != nullptr; }

    private:
        provider_slot &slot;
        provider_like *provider;
    };

    enum open_result { kOpened, kHeld, kClosing };

    // `make` runs with the slot locked, unless a provider is there or still being closed.
    template <class Make>
    open_result open(Make make) {
        std::lock_guard<std::mutex> hold(lock);
        if (provider) return kHeld;
        if (closing) return kClosing;
        provider = make();
        return kOpened;
    }

    // False when there was no provider. Handlers that the provider's destruction calls
    // may call the exports: they find no provider, and Open is refused.
    bool close() {
        std::unique_ptr<provider_like> old;
        {
            std::unique_lock<std::mutex> hold(lock);
            if (!provider) return false;
            old = std::move(provider);
            closing = true;
            returned.wait(hold, [this] { return borrowers == 0; });
        }
        old.reset();
        std::lock_guard<std::mutex> hold(lock);
        closing = false;
        return true;
    }

private:
    std::mutex lock;
    std::condition_variable returned;
    unsigned borrowers = 0;
    bool closing = false;  // a provider taken out of the slot is being destroyed
    std::unique_ptr<provider_like> provider;
};

provider_slot _S_provider;

// Runs an export's body, handing it the export's name; any exception that escapes it
// is logged under that name and becomes -1.
template <class Body>
int guarded(const char *function, Body body) noexcept {
    try {
        return body(function);
    } catch (const std::exception &e) {
        ZLOG_FAIL(function, "fail: exception <%s>", e.what());
    } catch (...) {
        ZLOG_FAIL(function, "fail: exception <%s>", "unknown");
    }
    return -1;
}

// Runs body(function, provider) with the provider borrowed; without one, logs the
// refusal at `level` and returns -1.
template <class Body>
int with_provider(const char *function, Zarn::Support::log_level level, Body body) noexcept {
    return guarded(function, [&](const char *name) {
        provider_slot::borrowed provider(_S_provider);
        if (!provider) {
            ZLOG(level, name, "fail: kS_INVALID_OPERATION");
            return -1;
        }
        return body(name, *provider);
    });
}

// False, with the refusal logged, when `given` is false.
bool argument_given(const char *function, bool given, const char *argument) {
    if (!given) ZLOG_FAIL(function, "fail: kS_INVALID_PARAMS (%s)", argument);
    return given;
}

// Whether an argument is given (not null, not zero), named as written in the call.
#define VEK_ARGUMENT_GIVEN(function, argument) argument_given((function), static_cast<bool>(argument), #argument)

constexpr char kStats[] = "{\"stats\": \"test\"}";

// Statics go in the reverse order of their making, at exit and, for the plug-in's own,
// when it is unloaded. The signature library makes statics of its own as it
// initialises: one made after that closes the provider before they go.
void close_at_exit_once() {
    struct provider_closer {
        ~provider_closer() { _S_provider.close(); }
    };
    static const provider_closer _s_closer;
}

}  // namespace

VEK_EXPORT int CryptoLogOpen(const char *name, int level, int flags) {
    return guarded(__func__, [&](const char *) { return LogOpen2(name, level, flags); });
}

VEK_EXPORT int CryptoLogClose(void) {
    return guarded(__func__, [](const char *) { return LogClose(); });
}

VEK_EXPORT int CryptoProviderOpen(const char *confPath) {
    return guarded(__func__, [&](const char *function) {
        try {
            switch (_S_provider.open([&] { return Zarn::Support::Crypto::Vek::Provider__Create(confPath); })) {
            case provider_slot::kHeld:
                ZLOG_FAIL(function, "fail: kS_INVALID_OPERATION");
                return -1;
            case provider_slot::kClosing:
                ZLOG_FAIL(function, "fail: kS_INVALID_OPERATION (closing)");
                return -1;
            case provider_slot::kOpened:
                break;
            }
            close_at_exit_once();
            return 0;
        } catch (const Zarn::Support::generic_error &) {
            ZLOG_FAIL(function, "fail: Provider__Create (conf-path:<%s>)", confPath);
            return -1;
        }
    });
}

VEK_EXPORT int CryptoProviderStart(void) {
    return with_provider(__func__, Zarn::Support::kLogFail, [](const char *, provider_like &provider) {
        provider.start();
        return 0;
    });
}

VEK_EXPORT int CryptoProviderStop(void) {
    return with_provider(__func__, Zarn::Support::kLogFail, [](const char *, provider_like &provider) {
        provider.stop();
        return 0;
    });
}

VEK_EXPORT void CryptoProviderClose(void) {
    guarded(__func__, [](const char *function) {
        // A handler runs on the worker, which closing waits for.
        if (Zarn::Support::Crypto::Vek::Provider__OnWorkerThread()) {
            ZLOG_FAIL(function, "fail: kS_INVALID_OPERATION");
            return -1;
        }
        if (!_S_provider.close()) ZLOG_WARN(function, "fail: kS_INVALID_OPERATION");
        return 0;
    });
}

VEK_EXPORT int CryptoProviderGetCrt(unsigned char *aCrtData, unsigned int *aCrtSize) {
    return with_provider(__func__, Zarn::Support::kLogWarn, [&](const char *function, provider_like &provider) {
        if (!VEK_ARGUMENT_GIVEN(function, aCrtData) || !VEK_ARGUMENT_GIVEN(function, aCrtSize)) return -1;
        unsigned long size = *aCrtSize;
        const int status = provider.getCert(aCrtData, &size);
        if (status != 0) {
            ZLOG_FAIL(function, "fail: provider_like::getCert (stat:%d)", status);
            return status;
        }
        *aCrtSize = static_cast<unsigned int>(size);
        return 0;
    });
}

VEK_EXPORT int CryptoProviderHash(const unsigned char *aBlobData, unsigned int aBlobSize, unsigned char *aHashData,
                                  unsigned int *aHashSize) {
    return with_provider(__func__, Zarn::Support::kLogWarn, [&](const char *function, provider_like &provider) {
        if (!VEK_ARGUMENT_GIVEN(function, aBlobData) || !VEK_ARGUMENT_GIVEN(function, aBlobSize) ||
            !VEK_ARGUMENT_GIVEN(function, aHashSize))
            return -1;
        const unsigned long room = *aHashSize;
        unsigned long size = room;
        const int status = provider.getHash(aBlobData, aBlobSize, aHashData, &size);
        if (status != 0) {
            ZLOG_FAIL(function, "fail: provider_like::getHash (stat:%d)", status);
            return status;
        }
        // Room for the text but not its NUL: nothing was written, and 0 would say it was.
        if (aHashData && room == size) {
            ZLOG_FAIL(function, "fail: buffer too small (buffer-size:%lu, text-size:%lu)", room, size + 1);
            return -1;
        }
        *aHashSize = static_cast<unsigned int>(size);
        return 0;
    });
}

VEK_EXPORT int CryptoProviderSign(const unsigned char *aBlobData, unsigned int aBlobSize, CryptoSignHandler aHandler,
                                  void *aContext) {
    return with_provider(__func__, Zarn::Support::kLogWarn, [&](const char *function, provider_like &provider) {
        if (!VEK_ARGUMENT_GIVEN(function, aBlobData) || !VEK_ARGUMENT_GIVEN(function, aBlobSize) ||
            !VEK_ARGUMENT_GIVEN(function, aHandler))
            return -1;
        return provider.getSign(aBlobData, aBlobSize, aHandler, aContext, 0);
    });
}

VEK_EXPORT int CryptoProviderCollectStats(CryptoStatsCallback fn, void *context) {
    return guarded(__func__, [&](const char *function) {
        if (!VEK_ARGUMENT_GIVEN(function, fn)) return -1;
        return fn(context, kStats);
    });
}
