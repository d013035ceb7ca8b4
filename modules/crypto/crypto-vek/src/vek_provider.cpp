#include "vek_provider.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "vek_engine.h"
#include "zarn/support/exceptions.h"
#include "zarn/support/kt_guard.h"
#include "zarn/support/log.h"
#include "zarn/support/pool.h"
#include "zarn/support/zrc_flex.h"
#include "zarn/support/zrc_ring.h"

namespace Zarn {
namespace Support {
namespace Crypto {
namespace Vek {

namespace {

constexpr char kUnitFile[] = __FILE__;
class kt_guard : public Zarn::Support::basic_kt_guard<kUnitFile> {
    using basic_kt_guard::basic_kt_guard;
};

thread_local bool _s_onWorker = false;

constexpr unsigned long kSignBufferSize = 4096;
constexpr std::chrono::microseconds kAwakeFor{50};

// One request slot: a copy of the data, then whom to answer.
struct flexbuffer2 {
    flexbuffer buffer;
    CryptoSignHandler handler = nullptr;
    void *context = nullptr;
};

class crypto_provider : public provider_like {
public:
    // Reads the configuration once the library is initialised: the worker's engine and the
    // pool's are both made from its source, so they sign with the same key.
    explicit crypto_provider(const char *path)
        : ktGuard(__LINE__), source(Engine__ReadSource(path)),
          enginePool([this] { return Engine__Create(source); }, 1), requests(2) {}

    // Stops and drains a worker that is still running, then answers what no worker
    // served with -1.
    ~crypto_provider() override {
        ZLOG_TRACE("~crypto_provider", "exec");
        {
            std::lock_guard<std::mutex> hold(lock);
            stopRequested = true;
            ++arrivals;
        }
        workReady.notify_one();
        if (worker.joinable()) {
            // Only when the process exits from inside a handler: the thread never returns.
            if (worker.get_id() == std::this_thread::get_id())
                worker.detach();
            else
                worker.join();
        }
        cancelQueued(-1);
        ZLOG_TRACE("~crypto_provider", "done");
    }

    void start() override {
        ZLOG_TRACE("start", "exec");
        std::unique_lock<std::mutex> hold(lock);
        if (started) {
            hold.unlock();
            ZLOG_WARN("start", "fail: kS_INVALID_OPERATION");
            return;
        }
        stopRequested = false;
        try {
            worker = std::thread(&crypto_provider::doManyWork, this);
        } catch (const std::system_error &e) {
            hold.unlock();
            ZLOG_FAIL("start", "fail: exception <%s>", e.what());
            return;
        }
        started = true;
        hold.unlock();
        ZLOG_TRACE("start", "done");
    }

    void stop() override {
        ZLOG_TRACE("stop", "exec");
        {
            std::lock_guard<std::mutex> hold(lock);
            if (!started) {
                ZLOG_WARN("stop", "fail: kS_INVALID_OPERATION");
                return;
            }
            stopRequested = true;
            ++arrivals;
        }
        workReady.notify_one();
        ZLOG_TRACE("stop", "done");
    }

    int getCert(unsigned char *data, unsigned long *size) override {
        return withEngine("getCert", [&](engine_like *engine) { return engine->getCert(data, size); });
    }

    int getHash(const unsigned char *data, unsigned long size, unsigned char *out, unsigned long *outSize) override {
        return withEngine("getHash", [&](engine_like *engine) { return engine->getHash(data, size, out, outSize); });
    }

    int getSign(const unsigned char *data, unsigned long size, CryptoSignHandler handler, void *context,
                unsigned short timeoutMs) override {
        // A verdict answers at once. It is read again under the lock, where a worker that
        // settles it answers every request queued before.
        if (const int verdict = Engine__Verdict(*source, "getSign")) return verdict;
        // A full ring is refused without the lock, so a host that resubmits at once does
        // not keep the worker from it.
        if (timeoutMs == 0 && queued.load(std::memory_order_acquire) >= requests.capacity()) return refuse(timeoutMs);

        std::unique_lock<std::mutex> hold(lock);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (const int verdict = Engine__Verdict(*source, "getSign")) return verdict;
            if (stopRequested) return refuse(timeoutMs);
            if (flexbuffer2 *slot = requests.putHead()) {
                if (!slot->buffer.reset(size)) {
                    requests.popHead();
                    ZLOG_FAIL("getSign", "fail: kSVEK_FAIL");
                    return -1;
                }
                std::memcpy(slot->buffer.data, data, size);
                slot->handler = handler;
                slot->context = context;
                ++arrivals;
                queued.store(requests.count(), std::memory_order_release);
                hold.unlock();
                workReady.notify_one();
                return 0;
            }
            if (timeoutMs == 0 || slotFree.wait_until(hold, deadline) == std::cv_status::timeout)
                return refuse(timeoutMs);
        }
    }

private:
    // The worker's engine, or why there is none: a stop, or a verdict (its status).
    struct engine_outcome {
        std::shared_ptr<engine_like> engine;
        int verdict = 0;
    };

    // Makes the worker's engine, before anything else. After a failure that may pass, the
    // requests that waited for that try are answered -1, so the ring is free for new ones;
    // then it waits for a stop, a verdict, or a request or stop that arrived since the
    // failed try. So every accepted request gets one try begun after it was queued, and a
    // stop is never missed.
    engine_outcome makeEngine() {
        for (;;) {
            unsigned long seen;
            uint16_t waiting;
            {
                std::lock_guard<std::mutex> hold(lock);
                seen = arrivals;
                waiting = requests.count();
            }
            try {
                return {Engine__Create(source), 0};
            } catch (const deny_error &) {
                ZLOG_FAIL("doManyWork", "fail: Engine__Create (deny)");
            } catch (const generic_error &) {
                ZLOG_WARN("doManyWork", "fail: Engine__Create");
            } catch (const std::exception &e) {
                ZLOG_FAIL("doManyWork", "fail: exception <%s>", e.what());
            }
            if (const int verdict = Engine__Verdict(*source)) return {nullptr, verdict};
            answerOldest(waiting, -1);
            std::unique_lock<std::mutex> hold(lock);
            workReady.wait(hold, [&] { return stopRequested || arrivals != seen || Engine__Verdict(*source) != 0; });
            if (const int verdict = Engine__Verdict(*source)) return {nullptr, verdict};
            if (stopRequested) return {};
        }
    }

    // Wakes a worker that waits to make its engine, after a verdict was settled here.
    void wakeWorker() {
        { std::lock_guard<std::mutex> hold(lock); }
        workReady.notify_one();
    }

    void doManyWork() {
        _s_onWorker = true;
        ZLOG_TRACE("doManyWork", "exec");
        flexbuffer copy;
        copy.reset(0);
        const engine_outcome made = makeEngine();
        if (made.verdict) {
            // No request is accepted once the verdict is settled: this answers the last ones.
            cancelQueued(made.verdict);
            return;
        }
        if (made.engine) serve(*made.engine, copy);
        ZLOG_TRACE("doManyWork", "exec: cancel");
        cancelQueued(-1);
        ZLOG_TRACE("doManyWork", "done");
    }

    // Takes the oldest request until a stop is requested, signs it with no lock held
    // and answers it. A handler never sees stale or over-long signature data.
    void serve(engine_like &engine, flexbuffer &copy) {
        unsigned char sign[kSignBufferSize];
        for (;;) {
            CryptoSignHandler handler;
            void *context;
            bool copied;
            awaitBriefly();
            {
                std::unique_lock<std::mutex> hold(lock);
                workReady.wait(hold, [this] { return stopRequested || requests.count() > 0; });
                if (stopRequested) {
                    hold.unlock();
                    slotFree.notify_one();
                    return;
                }
                flexbuffer2 *slot = requests.tail();
                copied = copy.reset(slot->buffer.size) != nullptr;
                if (copied) std::memcpy(copy.data, slot->buffer.data, slot->buffer.size);
                handler = slot->handler;
                context = slot->context;
                requests.popTail();
                queued.store(requests.count(), std::memory_order_release);
            }
            slotFree.notify_one();
            if (!copied) {
                handler(context, -1, nullptr, 0, nullptr, 0);
                continue;
            }

            const unsigned char *blob = static_cast<const unsigned char *>(copy.data);
            const unsigned int blobSize = static_cast<unsigned int>(copy.size);
            unsigned long signSize = kSignBufferSize;
            int status = engine.getSign(blob, copy.size, sign, &signSize);
            if (status == 0 && signSize <= kSignBufferSize) {
                handler(context, 0, blob, blobSize, sign, static_cast<unsigned int>(signSize));
                continue;
            }
            if (status == 0) {
                ZLOG_WARN("doManyWork", "fail: buffer too small (buffer-size:%zu, sign-size:%lu)",
                          static_cast<size_t>(kSignBufferSize), signSize);
                status = -1;
            }
            handler(context, status, blob, blobSize, nullptr, 0);
        }
    }

    // Polls, without the lock, for up to kAwakeFor until a request is queued or a stop is
    // requested. A host answering one request at a time submits the next soon after the
    // handler returns; a worker still awake takes it without the wake-up of a sleeping
    // thread, which costs several microseconds.
    void awaitBriefly() const {
        const auto until = std::chrono::steady_clock::now() + kAwakeFor;
        while (queued.load(std::memory_order_acquire) == 0 && !stopRequested.load(std::memory_order_acquire)) {
            for (int i = 0; i < 64; ++i) __builtin_ia32_pause();
            if (std::chrono::steady_clock::now() >= until) return;
        }
    }

    // Refuses a request as busy, naming why.
    int refuse(unsigned short timeoutMs) {
        if (stopRequested)
            ZLOG_TRACE("getSign", "fail: kSVEK_BUSY (stop-request)");
        else
            ZLOG_WARN("getSign", "fail: kSVEK_BUSY (timeout:%dms)", static_cast<int>(timeoutMs));
        return -3;
    }

    // Answers every queued request, newest first, with `status` and no data; each
    // handler is called with no lock held.
    void cancelQueued(int status) { answer(status, [this] { return requests.head(); }, [this] { requests.popHead(); }); }

    // Answers the `count` oldest queued requests, oldest first, as cancelQueued does.
    void answerOldest(uint16_t count, int status) {
        answer(status, [this, &count]() -> flexbuffer2 * { return count-- > 0 ? requests.tail() : nullptr; },
               [this] { requests.popTail(); });
    }

    // Takes requests with take() and remove() under the lock until take() gives none, and
    // answers each with `status` and no data with no lock held.
    template <class Take, class Remove>
    void answer(int status, Take take, Remove remove) {
        std::unique_lock<std::mutex> hold(lock);
        while (flexbuffer2 *slot = take()) {
            const CryptoSignHandler handler = slot->handler;
            void *const context = slot->context;
            remove();
            queued.store(requests.count(), std::memory_order_release);
            hold.unlock();
            slotFree.notify_one();
            handler(context, status, nullptr, 0, nullptr, 0);
            hold.lock();
        }
    }

    // Runs op on the pool's engine, unless a verdict answers at once. A verdict settled on
    // the way also reaches a worker that waits to make its engine.
    template <class Op>
    int withEngine(const char *function, Op op) {
        if (const int verdict = Engine__Verdict(*source, function)) return verdict;
        const int status = onPoolEngine(function, op);
        if (status != 0 && Engine__Verdict(*source) != 0) wakeWorker();
        return status;
    }

    template <class Op>
    int onPoolEngine(const char *function, Op op) {
        try {
            // The wrapper holds one reference, small enough to need no allocation.
            return enginePool.withResource<int>(0, [&op](engine_like *engine) { return op(engine); });
        } catch (const busy_error &) {
            ZLOG_FAIL(function, "fail: kS_BUSY");
            return -3;
        } catch (const deny_error &) {
            ZLOG_FAIL(function, "fail: KT_ERROR_KEY_MEDIAS_ACCESS_FAILED");
            return -2;
        } catch (const generic_error &) {
            ZLOG_FAIL(function, "fail: kS_FAIL");
            return -1;
        } catch (const std::exception &e) {
            ZLOG_FAIL(function, "fail: exception <%s>", e.what());
            return -1;
        }
    }

    kt_guard ktGuard;
    const std::shared_ptr<engine_source> source;  // what every engine is made from
    resource_pool<engine_like> enginePool;
    ring2<flexbuffer2> requests;
    std::mutex lock;                     // guards requests; the fields below change under it
    std::condition_variable slotFree;    // the worker took a request out
    std::condition_variable workReady;   // a request was queued, or a stop requested
    std::thread worker;
    std::atomic<bool> stopRequested{false};
    bool started = false;                // start() made the worker
    unsigned long arrivals = 0;          // queued requests and stops so far
    std::atomic<uint16_t> queued{0};     // requests in the ring, read without the lock
};

}  // namespace

std::unique_ptr<provider_like> Provider__Create(const char *confPath) {
    if (!confPath) throw std::invalid_argument("null configuration path");
    return std::make_unique<crypto_provider>(confPath);
}

bool Provider__OnWorkerThread() { return _s_onWorker; }

}  // namespace Vek
}  // namespace Crypto
}  // namespace Support
}  // namespace Zarn
