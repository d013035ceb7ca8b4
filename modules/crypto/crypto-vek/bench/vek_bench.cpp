// Signing throughput of libsignvek.so against a direct KTCtxSignData loop on the same
// stand-in key, and the latency from submission to handler, with the queue kept full and
// with one request in flight at a time. The worker and the direct loop sign on one CPU,
// the host submits from another.
//
//   signvek_bench [requests] [payload-bytes]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/prctl.h>

#include "bench_stats.h"
#include "kt_api.h"
#include "tavrel_standin.h"
#include "vek_host.h"
#include "vek_test_support.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr std::chrono::microseconds kBusyPause{10};

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// Direct loop: one context, the key read from the same medium, `n` signatures.
double direct_rate(int n, std::vector<unsigned char> &data) {
    PVOID context = nullptr, key = nullptr;
    if (KTCtxCreate(&context) != 0) return 0;
    KT_KEY_MEDIA media{};
    media.dwTypeIndex = 0;  // the medium of vek_test::kSerial in the default test world
    media.dwDevIndex = 0;
    std::snprintf(media.szPassword, sizeof media.szPassword, "%s", vek_test::kPassword);
    KT_CERT_OWNER_INFO owner{};
    if (KTCtxReadPrivateKey(context, &media, &key, &owner) != 0) {
        KTCtxFree(context);
        return 0;
    }
    KTCtxFreeCertOwnerInfo(context, &owner);
    const auto start = clock_type::now();
    int done = 0;
    for (int i = 0; i < n; ++i) {
        unsigned char *sign = nullptr;
        DWORD size = 0;
        if (KTCtxSignData(key, KT_CTX_SIGN_ECDSA_WITH_SHA, data.data(), data.size(), 1, 0, &sign, &size) == 0) ++done;
        if (sign) KTFreeMemory(sign);
    }
    const double rate = done / seconds_since(start);
    KTCtxFreePrivateKey(key);
    KTCtxFree(context);
    return rate;
}

struct run_state {
    std::vector<clock_type::time_point> submitted;
    std::vector<double> latency;  // microseconds
    std::atomic<int> answered{0}, failed{0};
    int total = 0;
    bool notify_each = false;  // one request in flight: the host waits for every answer
    std::mutex lock;
    std::condition_variable done;
};
run_state *_s_run = nullptr;

void handler(void *context, int status, const unsigned char *, unsigned int, const unsigned char *, unsigned int) {
    run_state &r = *_s_run;
    const size_t id = reinterpret_cast<size_t>(context);
    r.latency[id] = std::chrono::duration<double, std::micro>(clock_type::now() - r.submitted[id]).count();
    if (status != 0) ++r.failed;
    if (++r.answered == r.total || r.notify_each) {
        std::lock_guard<std::mutex> hold(r.lock);
        r.done.notify_all();
    }
}

// Through the plug-in: submit `n` requests until all are answered. After a busy answer the
// host sleeps for a fraction of one signature (the two queued requests keep the worker
// busy meanwhile) and submits again, instead of spending a CPU on about a million refused
// calls a run that a shared machine takes from its neighbours, the worker among them.
double plugin_rate(const vek_host::exports &p, int n, std::vector<unsigned char> &data, std::vector<double> &latency,
                   int &busy, int &failed) {
    run_state r;
    r.total = n;
    r.submitted.resize(n);
    r.latency.resize(n);
    _s_run = &r;
    busy = 0;
    const auto start = clock_type::now();
    for (int i = 0; i < n; ++i) {
        for (;;) {
            r.submitted[i] = clock_type::now();
            const int status = p.Sign(data.data(), static_cast<unsigned int>(data.size()), &handler,
                                      reinterpret_cast<void *>(static_cast<size_t>(i)));
            if (status == 0) break;
            if (status != -3) {
                std::printf("CryptoProviderSign answered %d\n", status);
                std::exit(1);
            }
            ++busy;
            std::this_thread::sleep_for(kBusyPause);
        }
    }
    {
        std::unique_lock<std::mutex> hold(r.lock);
        r.done.wait(hold, [&] { return r.answered == n; });
    }
    const double rate = n / seconds_since(start);
    latency = r.latency;
    failed = r.failed;
    _s_run = nullptr;
    return rate;
}

// One request in flight at a time: each submitted once the previous one was answered.
std::vector<double> serial_latency(const vek_host::exports &p, int n, std::vector<unsigned char> &data) {
    run_state r;
    r.total = n;
    r.notify_each = true;
    r.submitted.resize(n);
    r.latency.resize(n);
    _s_run = &r;
    for (int i = 0; i < n; ++i) {
        r.submitted[i] = clock_type::now();
        const int status = p.Sign(data.data(), static_cast<unsigned int>(data.size()), &handler,
                                  reinterpret_cast<void *>(static_cast<size_t>(i)));
        if (status != 0) {
            std::printf("CryptoProviderSign answered %d with nothing in flight\n", status);
            std::exit(1);
        }
        std::unique_lock<std::mutex> hold(r.lock);
        r.done.wait(hold, [&] { return r.answered == i + 1; });
    }
    _s_run = nullptr;
    return r.latency;
}

double percentile(std::vector<double> values, double q) {
    std::sort(values.begin(), values.end());
    const size_t at = std::min(values.size() - 1, static_cast<size_t>(q * static_cast<double>(values.size())));
    return values[at];
}

}  // namespace

int main(int argc, char **argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 5000;
    const size_t payload = argc > 2 ? static_cast<size_t>(std::atol(argv[2])) : 1024;
    if (n <= 0) return 2;

    vek_test::temp_dir dir;
    TavrelStandin_SetWorldPath(dir.write("world.json", vek_test::default_world()).c_str());
    const std::string conf = dir.write("conf.json", vek_test::device_conf());
    const vek_host::exports p = vek_host::bind(vek_host::open_plugin(false));  // no log file

    const int signCpu = sched_getcpu();
    int hostCpu = signCpu;
    for (const int cpu : bench_stats::allowed_cpus())
        if (cpu != signCpu) {
            hostCpu = cpu;
            break;
        }
    bench_stats::pin_thread(signCpu);  // the worker made by Start inherits it
    if (p.Open(conf.c_str()) != 0 || p.Start() != 0) {
        std::printf("cannot open the provider\n");
        return 1;
    }
    bench_stats::pin_thread(hostCpu);
    prctl(PR_SET_TIMERSLACK, 1000UL);  // the host's pauses end within a microsecond of asked
    const auto direct_on_sign_cpu = [&](int count, std::vector<unsigned char> &bytes) {
        bench_stats::pin_thread(signCpu);
        const double rate = direct_rate(count, bytes);
        bench_stats::pin_thread(hostCpu);
        return rate;
    };
    std::vector<unsigned char> data(payload);
    for (size_t i = 0; i < payload; ++i) data[i] = static_cast<unsigned char>(i * 31 + 7);

    std::vector<double> latency;
    int busy = 0, failed = 0;
    plugin_rate(p, std::min(n, 200), data, latency, busy, failed);  // warm up: engines made
    direct_on_sign_cpu(std::min(n, 200), data);

    // The contenders take turns round by round so that drifts of the machine touch them alike.
    constexpr int kRounds = 9;
    std::vector<double> directRates, pluginRates, serialLatency, signingTimes, allLatency, allSerial;
    int allBusy = 0, allFailed = 0;
    for (int round = 0; round < kRounds; ++round) {
        directRates.push_back(direct_on_sign_cpu(n, data));
        pluginRates.push_back(plugin_rate(p, n, data, latency, busy, failed));
        allLatency.insert(allLatency.end(), latency.begin(), latency.end());
        allBusy += busy;
        allFailed += failed;
        const std::vector<double> serial = serial_latency(p, std::max(1, n / 10), data);
        serialLatency.push_back(percentile(serial, 0.5));
        allSerial.insert(allSerial.end(), serial.begin(), serial.end());
        signingTimes.push_back(1e6 / directRates.back());
    }
    p.Stop();
    p.Close();

    std::printf("requests: %d interleaved rounds of %d, %zu bytes each (%d busy answers resubmitted, %d failed)\n",
                kRounds, n, payload, allBusy, allFailed);
    std::printf("signing on CPU %d, the host on CPU %d\n", signCpu, hostCpu);
    bench_stats::print_figures("direct KTCtxSignData", directRates, "sig/s");
    bench_stats::print_figures("CryptoProviderSign, queue full", pluginRates, "sig/s");
    bench_stats::print_figures("signing time (direct loop)", signingTimes, "us");
    bench_stats::print_figures("one in flight: submit to handler", serialLatency, "us");
    bench_stats::print_figures("  of it over the signing time",
                               bench_stats::per_round(serialLatency, signingTimes,
                                                      [](double l, double s) { return l - s; }),
                               "us");
    std::printf("  queue full: latency median %.1f us, p99 %.1f us; one in flight: p99 %.1f us\n",
                percentile(allLatency, 0.50), percentile(allLatency, 0.99), percentile(allSerial, 0.99));
    bench_stats::print_ratio("plug-in / direct KTCtxSignData (signatures/s)",
                             bench_stats::per_round(pluginRates, directRates, [](double a, double b) { return a / b; }),
                             "goal: at least 0.98");
    return 0;
}
