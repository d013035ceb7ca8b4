// Lends resources made on demand by a factory, each to one caller at a time, up to a
// maximum number. An idle resource is always lent before a new one is made.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <thread>

#include "zarn/support/exceptions.h"
#include "zarn/support/log.h"

namespace Zarn {
namespace Support {

template <class T>
class resource_pool {
public:
    using factory_type = std::function<std::shared_ptr<T>()>;

    resource_pool(factory_type factory, uint8_t maxCount) : factory(std::move(factory)), maxCount(maxCount) {}

    // Waits until every lent resource is back or dropped, and its return has finished
    // notifying.
    ~resource_pool() {
        {
            std::unique_lock<std::mutex> hold(lock);
            released.wait(hold, [this] { return lent.empty(); });
        }
        while (notifying.load(std::memory_order_acquire) != 0) std::this_thread::yield();
    }

    resource_pool(const resource_pool &) = delete;
    resource_pool &operator=(const resource_pool &) = delete;

    // Lends one resource to `fn` and returns its result. Throws busy_error when none
    // can be had within `timeoutMs`, internal_error when the factory makes nothing, and
    // passes on what the factory or `fn` throws. A resource whose `fn` threw is dropped.
    template <class R>
    R withResource(unsigned short timeoutMs, std::function<R(T *)> fn) {
        std::shared_ptr<T> resource = acquireOne(timeoutMs);
        try {
            R result = fn(resource.get());
            giveBack(resource, true);
            return result;
        } catch (const generic_error &) {
            giveBack(resource, false);
            throw;
        } catch (const std::exception &e) {
            ZLOG_FAIL("withResource", "fail: exception <%s>", e.what());
            giveBack(resource, false);
            throw;
        } catch (...) {
            giveBack(resource, false);
            throw;
        }
    }

private:
    // The factory runs with the lock held, so concurrent callers find its result lent.
    std::shared_ptr<T> acquireOne(unsigned short timeoutMs) {
        std::unique_lock<std::mutex> hold(lock);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (!idle.empty()) {
                std::shared_ptr<T> resource = idle.front();
                lent.insert(resource);
                idle.pop_front();
                return resource;
            }
            if (lent.size() < maxCount) {
                std::shared_ptr<T> resource = factory();
                if (!resource) {
                    ZLOG_WARN("acquireOne", "fail: factory");
                    throw internal_error();
                }
                lent.insert(resource);
                return resource;
            }
            const bool available = timeoutMs != 0 && released.wait_until(hold, deadline, [this] {
                return !idle.empty() || lent.size() < maxCount;
            });
            if (!available) {
                ZLOG_WARN("acquireOne", "fail: kS_BUSY (timeout-ms:%u)", static_cast<unsigned>(timeoutMs));
                throw busy_error();
            }
        }
    }

    // A resource that cannot be queued as idle again is dropped rather than kept lent.
    // The notification follows the unlock; `notifying` keeps the destructor from
    // destroying the condition variable under it.
    void giveBack(const std::shared_ptr<T> &resource, bool reuse) noexcept {
        {
            std::lock_guard<std::mutex> hold(lock);
            lent.erase(resource);
            if (reuse) {
                try {
                    idle.push_back(resource);
                } catch (const std::bad_alloc &) {
                }
            }
            notifying.fetch_add(1, std::memory_order_relaxed);
        }
        released.notify_one();
        notifying.fetch_sub(1, std::memory_order_release);
    }

    factory_type factory;
    std::condition_variable released;
    std::mutex lock;
    std::set<std::shared_ptr<T>> lent;
    std::list<std::shared_ptr<T>> idle;
    uint8_t maxCount;
    std::atomic<unsigned> notifying{0};  // returns between their unlock and notification
};

}  // namespace Support
}  // namespace Zarn
