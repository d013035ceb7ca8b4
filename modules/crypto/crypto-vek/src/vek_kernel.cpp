// The exported functions: they hold the process's one provider, check their arguments,
// turn every failure into a status and log what they refuse. No exception leaves them.
#include "vek_kernel.h"

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>

#include "vek_provider.h"
#include "zarn/support/exceptions.h"
#include "zarn/support/log.h"

#define VEK_EXPORT extern "C" __attribute__((visibility("default")))

extern "C" int __cxa_atexit(void (*function)(void *), void *argument, void *dso);
extern "C" void *__dso_handle;

namespace {

using Zarn::Support::Crypto::Vek::provider_like;

// The provider slot. Exports borrow the provider for the length of a call; closing
// empties the slot first and destroys the provider once no call borrows it, so a sign
// handler calling an export while the host closes finds either the provider or none.
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

        provider_like *operator->() const { return provider; }
        explicit operator bool() const { return provider != nullptr; }

    private:
        provider_slot &slot;
        provider_like *provider;
    };

    // False when a provider is already there; `make` runs with the slot locked.
    template <class Make>
    bool open(Make make) {
        std::lock_guard<std::mutex> hold(lock);
        if (provider) return false;
        provider = make();
        return true;
    }

    // False when there was no provider.
    bool close() {
        std::unique_ptr<provider_like> closing;
        {
            std::unique_lock<std::mutex> hold(lock);
            if (!provider) return false;
            closing = std::move(provider);
            returned.wait(hold, [this] { return borrowers == 0; });
        }
        closing.reset();
        return true;
    }

private:
    std::mutex lock;
    std::condition_variable returned;
    unsigned borrowers = 0;
    std::unique_ptr<provider_like> provider;
};

provider_slot _S_provider;

// Runs an export's body; an exception that escapes it becomes -1.
template <class Body>
int guarded(const char *function, Body body) {
    try {
        return body();
    } catch (const std::exception &e) {
        ZLOG_FAIL(function, "fail: exception <%s>", e.what());
    } catch (...) {
        ZLOG_FAIL(function, "fail: exception <%s>", "unknown");
    }
    return -1;
}

constexpr char kStats[] = "{\"stats\": \"test\"}";

// At exit, handlers registered after the plug-in's statics run first: the signature
// library's own clean-up among them. Closing from a handler registered once the library
// is initialised stops the worker before that. The handler belongs to this library, so
// unloading it runs the handler too.
void close_at_exit_once() {
    static std::once_flag registered;
    std::call_once(registered, [] { __cxa_atexit([](void *) { _S_provider.close(); }, nullptr, &__dso_handle); });
}

}  // namespace

VEK_EXPORT int CryptoLogOpen(const char *name, int level, int flags) { return LogOpen2(name, level, flags); }

VEK_EXPORT int CryptoLogClose(void) { return LogClose(); }

VEK_EXPORT int CryptoProviderOpen(const char *confPath) {
    return guarded("CryptoProviderOpen", [&] {
        try {
            const bool opened =
                _S_provider.open([&] { return Zarn::Support::Crypto::Vek::Provider__Create(confPath); });
            if (!opened) {
                ZLOG_FAIL("CryptoProviderOpen", "fail: kS_INVALID_OPERATION");
                return -1;
            }
            close_at_exit_once();
            return 0;
        } catch (const Zarn::Support::generic_error &) {
            ZLOG_FAIL("CryptoProviderOpen", "fail: Provider__Create (conf-path:<%s>)", confPath);
            return -1;
        }
    });
}

VEK_EXPORT int CryptoProviderStart(void) {
    return guarded("CryptoProviderStart", [] {
        provider_slot::borrowed provider(_S_provider);
        if (!provider) {
            ZLOG_FAIL("CryptoProviderStart", "fail: kS_INVALID_OPERATION");
            return -1;
        }
        provider->start();
        return 0;
    });
}

VEK_EXPORT int CryptoProviderStop(void) {
    return guarded("CryptoProviderStop", [] {
        provider_slot::borrowed provider(_S_provider);
        if (!provider) {
            ZLOG_FAIL("CryptoProviderStop", "fail: kS_INVALID_OPERATION");
            return -1;
        }
        provider->stop();
        return 0;
    });
}

VEK_EXPORT void CryptoProviderClose(void) {
    guarded("CryptoProviderClose", [] {
        // A handler runs on the worker, which closing waits for.
        if (Zarn::Support::Crypto::Vek::Provider__OnWorkerThread()) {
            ZLOG_FAIL("CryptoProviderClose", "fail: kS_INVALID_OPERATION");
            return -1;
        }
        if (!_S_provider.close()) ZLOG_WARN("CryptoProviderClose", "fail: kS_INVALID_OPERATION");
        return 0;
    });
}

VEK_EXPORT int CryptoProviderGetCrt(unsigned char *aCrtData, unsigned int *aCrtSize) {
    return guarded("CryptoProviderGetCrt", [&] {
        provider_slot::borrowed provider(_S_provider);
        if (!provider) {
            ZLOG_WARN("CryptoProviderGetCrt", "fail: kS_INVALID_OPERATION");
            return -1;
        }
        if (!aCrtData) {
            ZLOG_FAIL("CryptoProviderGetCrt", "fail: kS_INVALID_PARAMS (aCrtData)");
            return -1;
        }
        if (!aCrtSize) {
            ZLOG_FAIL("CryptoProviderGetCrt", "fail: kS_INVALID_PARAMS (aCrtSize)");
            return -1;
        }
        unsigned long size = *aCrtSize;
        const int status = provider->getCert(aCrtData, &size);
        if (status != 0) {
            ZLOG_FAIL("CryptoProviderGetCrt", "fail: provider_like::getCert (stat:%d)", status);
            return status;
        }
        *aCrtSize = static_cast<unsigned int>(size);
        return 0;
    });
}

VEK_EXPORT int CryptoProviderHash(const unsigned char *aBlobData, unsigned int aBlobSize, unsigned char *aHashData,
                                  unsigned int *aHashSize) {
    return guarded("CryptoProviderHash", [&] {
        provider_slot::borrowed provider(_S_provider);
        if (!provider) {
            ZLOG_WARN("CryptoProviderHash", "fail: kS_INVALID_OPERATION");
            return -1;
        }
        if (!aBlobData) {
            ZLOG_FAIL("CryptoProviderHash", "fail: kS_INVALID_PARAMS (aBlobData)");
            return -1;
        }
        if (aBlobSize == 0) {
            ZLOG_FAIL("CryptoProviderHash", "fail: kS_INVALID_PARAMS (aBlobSize)");
            return -1;
        }
        if (!aHashSize) {
            ZLOG_FAIL("CryptoProviderHash", "fail: kS_INVALID_PARAMS (aHashSize)");
            return -1;
        }
        const unsigned long room = *aHashSize;
        unsigned long size = room;
        const int status = provider->getHash(aBlobData, aBlobSize, aHashData, &size);
        if (status != 0) {
            ZLOG_FAIL("CryptoProviderHash", "fail: provider_like::getHash (stat:%d)", status);
            return status;
        }
        // Room for the text but not its NUL: nothing was written, and 0 would say it was.
        if (aHashData && room == size) {
            ZLOG_FAIL("CryptoProviderHash", "fail: buffer too small (buffer-size:%lu, text-size:%lu)", room, size + 1);
            return -1;
        }
        *aHashSize = static_cast<unsigned int>(size);
        return 0;
    });
}

VEK_EXPORT int CryptoProviderSign(const unsigned char *aBlobData, unsigned int aBlobSize, CryptoSignHandler aHandler,
                                  void *aContext) {
    return guarded("CryptoProviderSign", [&] {
        provider_slot::borrowed provider(_S_provider);
        if (!provider) {
            ZLOG_WARN("CryptoProviderSign", "fail: kS_INVALID_OPERATION");
            return -1;
        }
        if (!aBlobData) {
            ZLOG_FAIL("CryptoProviderSign", "fail: kS_INVALID_PARAMS (aBlobData)");
            return -1;
        }
        if (aBlobSize == 0) {
            ZLOG_FAIL("CryptoProviderSign", "fail: kS_INVALID_PARAMS (aBlobSize)");
            return -1;
        }
        if (!aHandler) {
            ZLOG_FAIL("CryptoProviderSign", "fail: kS_INVALID_PARAMS (aHandler)");
            return -1;
        }
        return provider->getSign(aBlobData, aBlobSize, aHandler, aContext, 0);
    });
}

VEK_EXPORT int CryptoProviderCollectStats(CryptoStatsCallback fn, void *context) {
    if (!fn) {
        ZLOG_FAIL("CryptoProviderCollectStats", "fail: kS_INVALID_PARAMS (fn)");
        return -1;
    }
    return fn(context, kStats);
}
