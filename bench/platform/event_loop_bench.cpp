// Cross-thread cost of the message service: how long a message posted by a worker takes to
// reach its handler on the loop's thread (p50/p99), the round trip of a send, and how many
// posted messages per second one loop handles.
//   bench_event_loop [samples]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/event_loop.h"

using namespace quillon::platform;
using Clock = std::chrono::steady_clock;

namespace {

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

} // namespace

int main(int argc, char **argv) {
    const int samples = argc > 1 ? std::atoi(argv[1]) : 20000;
    auto &loop = EventLoop::current();

    // 1. Post-to-handle latency: one message in flight at a time, the loop blocked in run().
    std::vector<double> latencyUs;
    latencyUs.reserve(static_cast<size_t>(samples));
    std::atomic<int> handled{0};
    MessageTarget latencyTarget([&](Message &m) -> std::optional<LResult> {
        latencyUs.push_back(static_cast<double>(nowNs() - m.lParam) / 1000.0);
        handled.fetch_add(1, std::memory_order_release);
        if (static_cast<int>(latencyUs.size()) == samples) {
            loop.quit();
        }
        return 0;
    });
    std::thread poster([&, h = latencyTarget.handle()] {
        for (int i = 0; i < samples; ++i) {
            h.post(kWmUser, 0, static_cast<LParam>(nowNs()));
            while (handled.load(std::memory_order_acquire) <= i) {
                std::this_thread::yield();
            }
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });
    loop.run();
    poster.join();

    // 2. Send round trip from a worker (the fax engine's status delivery).
    std::vector<double> sendUs;
    MessageTarget sendTarget(
        [](Message &m) -> std::optional<LResult> { return static_cast<LResult>(m.wParam); });
    std::thread sender([&, h = sendTarget.handle()] {
        for (int i = 0; i < samples / 4; ++i) {
            auto t0 = Clock::now();
            (void)h.send(kWmUser, 1, 0, std::chrono::milliseconds(1000));
            sendUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        }
        loop.quit();
    });
    loop.run();
    sender.join();

    // 3. Throughput: a worker floods posts while the loop drains them.
    const int flood = 1000000;
    int count = 0;
    Clock::time_point last;
    MessageTarget floodTarget([&](Message &) -> std::optional<LResult> {
        if (++count == flood) {
            last = Clock::now();
            loop.quit();
        }
        return 0;
    });
    auto first = Clock::now();
    std::thread flooder([h = floodTarget.handle()] {
        for (int i = 0; i < flood; ++i) {
            h.post(kWmUser);
        }
    });
    loop.run();
    flooder.join();
    double seconds = std::chrono::duration<double>(last - first).count();

    std::printf("post-to-handle latency across threads: p50 %.1f us, p99 %.1f us, max %.1f us "
                "(%d samples)\n",
                percentile(latencyUs, 0.50), percentile(latencyUs, 0.99),
                percentile(latencyUs, 1.0), samples);
    std::printf("send round trip from a worker: p50 %.1f us, p99 %.1f us\n",
                percentile(sendUs, 0.50), percentile(sendUs, 0.99));
    std::printf("throughput: %.0f posted messages per second (%d in %.3f s)\n", flood / seconds,
                flood, seconds);
    return 0;
}
