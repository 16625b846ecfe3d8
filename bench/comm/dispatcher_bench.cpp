// Throughput of the comm dispatcher on a pty pair against a plain blocking read/write loop on
// the same kind of pty in the same run, and the latency from a byte written by the peer to a
// procedure handler seeing it. Prints ratios; not a test.
//
//   nice build/bench/comm/comm_dispatcher_bench [MB] [latency-samples] [in|out|all|poll] [rounds]
//
// "poll" compares against non-blocking loops that wait in poll() as the dispatcher's threads
// have to: inbound before each read, outbound whenever the pty is full.
//
// Outbound, the dispatcher's client waits for room in the output ring on an output-free
// trigger; the plain loop blocks in write().
//
// Both sides of a pty are noisy on a shared machine, so each direction runs several short
// rounds, alternating the order of plain and dispatcher, and prints the best of each and the
// median of the per-round ratios. QUILLON_BENCH_NOPIN=1 leaves the threads unpinned.

#include <poll.h>
#include <sched.h>
#include <termios.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm/dispatcher.h"
#include "platform/serial_device.h"
#include "pty_pair.h"

using namespace std::chrono_literals;
using quillon::comm::MsgTriggerAvail;
using quillon::comm::TBaseDispatcher;
using quillon::comm::TSerialDispatcher;
using quillon::testing::PtyPair;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kChunk = 4096;
// The peer runs on CPU 0 and the thread that moves the bytes (the plain loop, or the
// dispatcher's dispatch thread inbound and all of its threads outbound) on CPU 1. Left to the
// scheduler, the plain loop's speed on a pty depends on where its two threads happen to land and on
// what ran before it, by a factor of two or more.
bool pinned = true;

double seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

int openRawSlave(const PtyPair &pty) {
    int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ::tcsetattr(fd, TCSANOW, &t);
    return fd;
}

void pinTo(int cpu) {
    if (pinned) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
        ::sched_setaffinity(0, sizeof set, &set);
    }
}

void peerWrite(const PtyPair &pty, size_t total) {
    pinTo(0);
    std::vector<uint8_t> buf(kChunk, 0x5A);
    for (size_t at = 0; at < total; at += kChunk) {
        pty.write(buf.data(), std::min(kChunk, total - at));
    }
}

size_t peerRead(const PtyPair &pty, size_t total) {
    pinTo(0);
    size_t got = 0;
    while (got < total) {
        auto chunk = pty.read(total - got, 5s);
        if (chunk.empty()) {
            break;
        }
        got += chunk.size();
    }
    return got;
}

// Waits on the peer's core, in coarse sleeps, for the side under test to say it is done, as
// both inbound measurements do: the sleeper's wake-ups alone speed a pty up by a quarter
// or more on this kind of machine, so only a like wait gives a fair comparison. Coarse
// sleeps take no CPU worth counting and keep a stalled run bounded.
Clock::time_point awaitDone(const std::atomic<bool> &done, Clock::time_point t0) {
    while (!done.load() && seconds(t0, Clock::now()) < 60) {
        std::this_thread::sleep_for(1ms);
    }
    return Clock::now();
}

// Plain loops on the slave side. Inbound, the reader either blocks in read(), or, as the
// dispatcher must in order to stay wakeable, sets the descriptor non-blocking and waits in
// poll() on it and on an eventfd before each read: the second tells how much of any gap is
// the price of waiting in poll rather than in read on this kernel.
double plainLoopInbound(size_t total, bool waitInPoll) {
    PtyPair pty;
    int fd = openRawSlave(pty);
    quillon::platform::WakeFd wake; // never signalled: the poll waits on two descriptors
    if (waitInPoll) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    pinTo(0);
    std::atomic<size_t> got{0};
    std::atomic<bool> done{false};
    auto t0 = Clock::now();
    std::thread writer([&] { peerWrite(pty, total); });
    std::thread reader([&] {
        pinTo(1);
        std::vector<uint8_t> buf(65536);
        size_t n = 0;
        while (n < total) {
            if (waitInPoll) {
                pollfd fds[2] = {{fd, POLLIN, 0}, {wake.fd(), POLLIN, 0}};
                ::poll(fds, 2, 20);
            }
            ssize_t r = ::read(fd, buf.data(), buf.size());
            if (r > 0) {
                n += static_cast<size_t>(r);
            } else if (!waitInPoll || errno != EAGAIN || seconds(t0, Clock::now()) >= 60) {
                break; // the clock is read only when nothing came, off the loop's fast path
            }
        }
        got = n;
        done = true;
    });
    auto t1 = awaitDone(done, t0);
    reader.join();
    writer.join();
    ::close(fd);
    pinTo(1);
    return static_cast<double>(got.load()) / seconds(t0, t1) / 1e6;
}

double plainInbound(size_t total) {
    return plainLoopInbound(total, false);
}

double pollInbound(size_t total) {
    return plainLoopInbound(total, true);
}

// Outbound, the writer either blocks in write(), or, as the dispatcher's writer does, writes
// non-blocking and waits in poll() for room whenever the pty is full.
double plainLoopOutbound(size_t total, bool waitInPoll) {
    PtyPair pty;
    int fd = openRawSlave(pty);
    if (waitInPoll) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    auto t0 = Clock::now();
    size_t got = 0;
    std::thread reader([&] { got = peerRead(pty, total); });
    std::vector<uint8_t> buf(kChunk, 0xA5);
    for (size_t at = 0; at < total;) {
        ssize_t n = ::write(fd, buf.data(), std::min(kChunk, total - at));
        if (n > 0) {
            at += static_cast<size_t>(n);
        } else if (waitInPoll && n < 0 && errno == EAGAIN) {
            pollfd pf{fd, POLLOUT, 0};
            ::poll(&pf, 1, 20);
        } else {
            break;
        }
    }
    reader.join();
    auto t1 = Clock::now();
    ::close(fd);
    return static_cast<double>(got) / seconds(t0, t1) / 1e6;
}

double plainOutbound(size_t total) {
    return plainLoopOutbound(total, false);
}

double pollOutbound(size_t total) {
    return plainLoopOutbound(total, true);
}

// Counts what the handler reads and says when all of it has arrived.
struct Sink {
    TBaseDispatcher *disp = nullptr;
    size_t total = 0;
    std::atomic<size_t> got{0};
    std::atomic<bool> done{false};
    bool placed = false;
    std::vector<uint8_t> buf = std::vector<uint8_t>(quillon::comm::kInputRingSize);
    static void Proc(uint32_t msg, uint32_t w, int32_t, void *ctx) {
        auto &s = *static_cast<Sink *>(ctx);
        if (!s.placed) {
            pinTo(1); // this is the dispatch thread, the one that reads the device
            s.placed = true;
        }
        if (msg == MsgTriggerAvail && s.disp->ReadBlock(s.buf.data(), w) == 0 &&
            s.got.fetch_add(w) + w >= s.total) {
            s.done = true;
        }
    }
};

double dispatcherInbound(size_t total) {
    PtyPair pty;
    TSerialDispatcher disp;
    // The dispatcher's threads start on the peer's core; the dispatch thread moves to the
    // core under test when it first delivers, so that, as in the plain loop, only the thread
    // that reads the pty runs there. Threads merely sleeping on that core (the event waiter,
    // the writer, this one) make each pty read markedly dearer on this kernel.
    pinTo(0);
    if (disp.OpenDevice(pty.slavePath(), 8192, 8192, true, true, 115200, 0, 8, 1) != 0) {
        pinTo(1);
        return 0;
    }
    Sink sink;
    sink.disp = &disp;
    sink.total = total;
    [[maybe_unused]] int rc = disp.AddProcHandler(&Sink::Proc, &sink);
    rc = disp.SetAvailThreshold(1);
    auto t0 = Clock::now();
    std::thread writer([&] { peerWrite(pty, total); });
    auto t1 = awaitDone(sink.done, t0);
    writer.join();
    rc = disp.CloseDevice();
    pinTo(1);
    return static_cast<double>(sink.got.load()) / seconds(t0, t1) / 1e6;
}

// Says when an output-free trigger has fired: the writing thread waits on it for room in the
// output ring, as a client of the dispatcher does, rather than sleeping and retrying. Sleeps
// on a shared VM last 50 us or more, in which an 8 KB ring runs dry at pty speed.
struct RoomWait {
    std::mutex lock;
    std::condition_variable cv;
    uint64_t fired = 0;
    uint64_t count() {
        std::lock_guard hold(lock);
        return fired;
    }
    uint64_t ranOut = 0; // waits that ended on the fallback time-out, not on a notification
    void waitPast(uint64_t seen, std::chrono::milliseconds limit) {
        std::unique_lock hold(lock);
        ranOut += cv.wait_for(hold, limit, [&] { return fired != seen; }) ? 0 : 1;
    }
    static void Proc(uint32_t msg, uint32_t, int32_t, void *ctx) {
        if (msg == quillon::comm::MsgTriggerStatus) {
            auto &w = *static_cast<RoomWait *>(ctx);
            {
                std::lock_guard hold(w.lock);
                ++w.fired;
            }
            w.cv.notify_one();
        }
    }
};

double dispatcherOutbound(size_t total) {
    PtyPair pty;
    TSerialDispatcher disp;
    if (disp.OpenDevice(pty.slavePath(), 8192, 8192, true, true, 115200, 0, 8, 1) != 0) {
        return 0;
    }
    RoomWait room;
    [[maybe_unused]] int rc = disp.AddProcHandler(&RoomWait::Proc, &room);
    int roomTrigger = disp.NewStatusTrigger(quillon::comm::skOutputFree);
    auto t0 = Clock::now();
    size_t got = 0;
    std::thread reader([&] { got = peerRead(pty, total); });
    std::vector<uint8_t> buf(kChunk, 0xA5);
    for (size_t at = 0; at < total && seconds(t0, Clock::now()) < 60;) {
        auto n = static_cast<uint32_t>(std::min(kChunk, total - at));
        if (disp.WriteBlock(buf.data(), n) == 0) {
            at += n;
            continue;
        }
        // The ring is full: wait until it has room for the chunk.
        uint64_t seen = room.count();
        rc = disp.ArmStatusTrigger(roomTrigger, static_cast<uint16_t>(n), true);
        room.waitPast(seen, 10ms);
    }
    reader.join();
    auto t1 = Clock::now();
    rc = disp.CloseDevice();
    if (room.ranOut != 0) {
        std::fprintf(stderr, "  %llu waits for room ran out on the fallback time-out\n",
                     static_cast<unsigned long long>(room.ranOut));
    }
    return static_cast<double>(got) / seconds(t0, t1) / 1e6;
}

struct Stamp {
    TBaseDispatcher *disp = nullptr;
    std::atomic<int64_t> seenNs{0};
    static void Proc(uint32_t msg, uint32_t w, int32_t, void *ctx) {
        auto &s = *static_cast<Stamp *>(ctx);
        if (msg == MsgTriggerAvail) {
            uint8_t b[16];
            if (s.disp->ReadBlock(b, std::min<uint32_t>(w, 16)) == 0) {
                s.seenNs = Clock::now().time_since_epoch().count();
            }
        }
    }
};

void report(const char *what, std::vector<double> &us) {
    std::sort(us.begin(), us.end());
    auto at = [&](double q) { return us[static_cast<size_t>(q * (us.size() - 1))]; };
    std::printf("%-34s p50 %7.1f us   p99 %7.1f us   max %7.1f us   (%zu samples)\n", what, at(0.5),
                at(0.99), us.back(), us.size());
}

void latency(int samples) {
    std::vector<double> disp, plain;
    {
        PtyPair pty;
        TSerialDispatcher d;
        if (d.OpenDevice(pty.slavePath(), 8192, 8192, true, true, 115200, 0, 8, 1) != 0) {
            return;
        }
        Stamp stamp;
        stamp.disp = &d;
        [[maybe_unused]] int rc = d.AddProcHandler(&Stamp::Proc, &stamp);
        rc = d.SetAvailThreshold(1);
        for (int i = 0; i < samples; ++i) {
            stamp.seenNs = 0;
            auto t0 = Clock::now();
            uint8_t b = static_cast<uint8_t>(i);
            pty.write(&b, 1);
            while (stamp.seenNs.load() == 0 && seconds(t0, Clock::now()) < 1) {
                std::this_thread::sleep_for(50us);
            }
            disp.push_back(
                static_cast<double>(stamp.seenNs.load() - t0.time_since_epoch().count()) / 1000.0);
            std::this_thread::sleep_for(std::chrono::microseconds(200 + (i * 37) % 800));
        }
        rc = d.CloseDevice();
    }
    {
        PtyPair pty;
        int fd = openRawSlave(pty);
        std::atomic<int64_t> seen{0};
        std::atomic<bool> stop{false};
        std::thread reader([&] {
            uint8_t b;
            while (!stop.load() && ::read(fd, &b, 1) == 1) {
                seen = Clock::now().time_since_epoch().count();
            }
        });
        for (int i = 0; i < samples; ++i) {
            seen = 0;
            auto t0 = Clock::now();
            uint8_t b = static_cast<uint8_t>(i);
            pty.write(&b, 1);
            while (seen.load() == 0 && seconds(t0, Clock::now()) < 1) {
                std::this_thread::sleep_for(50us);
            }
            plain.push_back(static_cast<double>(seen.load() - t0.time_since_epoch().count()) /
                            1000.0);
            std::this_thread::sleep_for(std::chrono::microseconds(200 + (i * 37) % 800));
        }
        stop = true;
        uint8_t b = 0;
        pty.write(&b, 1);
        reader.join();
        ::close(fd);
    }
    report("latency, peer byte -> proc handler", disp);
    report("latency, plain blocking read", plain);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void throughput(const char *what, size_t total, int rounds, double (*plain)(size_t),
                double (*dispatcher)(size_t)) {
    std::vector<double> p, d, ratios;
    // Interleaved, so that both sides see the same machine load.
    for (int round = 0; round < rounds; ++round) {
        if (round % 2 == 0) {
            p.push_back(plain(total));
            d.push_back(dispatcher(total));
        } else {
            d.push_back(dispatcher(total));
            p.push_back(plain(total));
        }
        ratios.push_back(d.back() / p.back());
        std::fprintf(stderr, "  %s round %d: plain %.1f dispatcher %.1f MB/s\n", what, round,
                     p.back(), d.back());
    }
    double bestP = *std::max_element(p.begin(), p.end());
    double bestD = *std::max_element(d.begin(), d.end());
    std::printf("%s:\n  plain %7.1f MB/s (median %7.1f)  dispatcher %7.1f MB/s (median %7.1f)\n  "
                "best/best %.2f  median ratio %.2f\n",
                what, bestP, median(p), bestD, median(d), bestD / bestP, median(ratios));
}

} // namespace

int main(int argc, char **argv) {
    size_t mb = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 16;
    int samples = argc > 2 ? std::atoi(argv[2]) : 2000;
    std::string mode = argc > 3 ? argv[3] : "all";
    int rounds = argc > 4 ? std::atoi(argv[4]) : 9;
    size_t total = mb * 1024 * 1024;
    pinned =
        std::getenv("QUILLON_BENCH_NOPIN") == nullptr && std::thread::hardware_concurrency() > 1;
    pinTo(1);
    if (mode == "all" || mode == "in") {
        throughput("inbound", total, rounds, plainInbound, dispatcherInbound);
    }
    if (mode == "poll") {
        throughput("inbound against a poll-then-read loop", total, rounds, pollInbound,
                   dispatcherInbound);
        throughput("outbound against a write-then-poll loop", total, rounds, pollOutbound,
                   dispatcherOutbound);
    }
    if (mode == "all" || mode == "out") {
        throughput("outbound", total, rounds, plainOutbound, dispatcherOutbound);
    }
    if (samples > 0) {
        latency(samples);
    }
    return 0;
}
